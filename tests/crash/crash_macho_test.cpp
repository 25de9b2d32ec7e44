// The Mach-O reader, its symbol lookup, the Objective-C metadata reader and
// the symbol choice, on images laid out in memory: no Linux image is Mach-O.

#include "crash/crash_macho.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crash/crash_image_list.h"
#include "crash/crash_objc.h"
#include "crash/crash_symbol.h"
#include "crash_macho_builder.h"

namespace strombel::crash {
namespace {

using testing::MachOBuilder;

struct Layout {
    const char* name;
    bool is64;
    bool swapped;
    uint32_t cpuType;
};

const Layout layouts[] = {
    {"64-bit ARM", true, false, 0x0100000C},
    {"64-bit ARM, byte-swapped", true, true, 0x0100000C},
    {"32-bit ARM", false, false, 12},
    {"32-bit ARM, byte-swapped", false, true, 12},
    {"x86-64", true, false, 0x01000007},
};

MachOBuilder::Options optionsFor(const Layout& layout) {
    MachOBuilder::Options options;
    options.is64 = layout.is64;
    options.swapped = layout.swapped;
    options.cpuType = layout.cpuType;
    options.vmAddress = layout.is64 ? 0x100000000 : 0x4000;
    return options;
}

struct Named {
    int calls = 0;
    uint64_t address = 0;
    std::string name;
};

void keep(uint64_t address, const char* name, void* context) {
    auto* named = static_cast<Named*>(context);
    ++named->calls;
    named->address = address;
    named->name = name;
}

TEST(CrashMachO, TheHeaderSegmentsSectionsAndUuidReadInEveryLayout) {
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.name);
        MachOBuilder builder(optionsFor(layout));
        builder.setEhFrame(std::vector<uint8_t>(40, 0xE1));
        builder.finish();
        crash_macho_image image;
        ASSERT_EQ(crash_macho_image_init(&image, nullptr, "Pads", builder.header()), CRASH_ESUCCESS);
        EXPECT_EQ(image.is64, layout.is64);
        EXPECT_EQ(image.headerSize, layout.is64 ? 32u : 28u);
        EXPECT_EQ(crash_macho_image_cpu_type(&image), layout.cpuType);
        EXPECT_EQ(image.slide, builder.slide());
        EXPECT_EQ(image.textSize, MachOBuilder::kTextSize);
        EXPECT_TRUE(crash_macho_image_contains(&image, builder.header()));
        EXPECT_TRUE(crash_macho_image_contains(&image, builder.at(MachOBuilder::kTextSize - 1)));
        EXPECT_FALSE(crash_macho_image_contains(&image, builder.at(MachOBuilder::kTextSize)));

        crash_mobject section;
        ASSERT_EQ(crash_macho_map_section(&image, nullptr, "__TEXT", "__eh_frame", &section), CRASH_ESUCCESS);
        EXPECT_EQ(section.address, builder.at(MachOBuilder::kEhFrame));
        EXPECT_EQ(section.length, 40u);
        EXPECT_EQ(crash_macho_map_section(&image, nullptr, "__TEXT", "__nothing", &section), CRASH_ENOTFOUND);
        EXPECT_EQ(crash_macho_map_section(&image, nullptr, "__NOPE", "__eh_frame", &section), CRASH_ENOTFOUND);
        uint8_t uuid[16];
        ASSERT_TRUE(crash_macho_image_uuid(&image, nullptr, uuid));
        EXPECT_EQ(uuid[0], 0x5A);
    }
}

TEST(CrashMachO, AMagicOfNeitherFormatIsNotListedAndAMachOImageIsListedBesideElfOnes) {
    MachOBuilder builder(optionsFor(layouts[0]));
    builder.symbol("_start_track", 0x1100);
    builder.finish();
    crash_image_list images;  // room for every image this test program loads, and one more
    images.refresh();
    uint32_t elfImages = images.count();
    ASSERT_GT(elfImages, 0u);
    ASSERT_TRUE(images.append(builder.header(), "/Applications/Pads.app/Pads"));
    const crash_image* found = images.find(builder.at(0x1100), 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->format, CRASH_IMAGE_FORMAT_MACHO);
    EXPECT_STREQ(found->name, "/Applications/Pads.app/Pads");
    EXPECT_EQ(found->buildIdLength, 16u);
    EXPECT_EQ(found->cpuType, 0x0100000Cu);

    // A bad magic: not listed.
    uint32_t saved;
    std::memcpy(&saved, builder.bytes(0), 4);
    uint32_t bad = 0xFEEDFACD;
    std::memcpy(builder.bytes(0), &bad, 4);
    EXPECT_FALSE(images.append(builder.header(), "bad"));
    std::vector<uint8_t> zeros(64, 0);
    EXPECT_FALSE(images.append(reinterpret_cast<uint64_t>(zeros.data()), "zeros"));
    EXPECT_FALSE(images.append(0x10, "unreadable"));
    std::memcpy(builder.bytes(0), &saved, 4);
    crash_macho_image image;
    std::memcpy(builder.bytes(0), &bad, 4);
    EXPECT_EQ(crash_macho_image_init(&image, nullptr, nullptr, builder.header()), CRASH_EINVAL);
    EXPECT_EQ(crash_macho_image_init(&image, nullptr, nullptr, 0x10), CRASH_EINTERNAL);
    std::memcpy(builder.bytes(0), &saved, 4);
}

TEST(CrashMachO, AnImageRemovedWhileTheListIsReadStaysUntilTheReaderLetsGo) {
    MachOBuilder first(optionsFor(layouts[0]));
    first.finish();
    MachOBuilder second(optionsFor(layouts[0]));
    second.finish();
    crash_image_list images(4);
    ASSERT_TRUE(images.append(first.header(), "first"));
    const crash_image* record = images.find(first.header(), 0);
    ASSERT_NE(record, nullptr);

    images.setReading(true);
    ASSERT_TRUE(images.remove(first.header()));
    EXPECT_EQ(images.find(first.header(), 0), nullptr);  // no longer listed...
    EXPECT_STREQ(record->name, "first");                 // ...but its record is intact
    ASSERT_TRUE(images.append(second.header(), "second"));
    EXPECT_EQ(images.count(), 2u);  // the removed slot is not taken while read
    EXPECT_STREQ(record->name, "first");
    images.setReading(false);

    // The reader let go: the slot is taken again, not freed.
    MachOBuilder third(optionsFor(layouts[0]));
    third.finish();
    ASSERT_TRUE(images.append(third.header(), "third"));
    EXPECT_EQ(images.count(), 2u);
    EXPECT_EQ(images.find(third.header(), 0), record);
    EXPECT_FALSE(images.remove(first.header()));
}

TEST(CrashMachO, SymbolsAtAndBelowThePc) {
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.name);
        MachOBuilder builder(optionsFor(layout));
        builder.symbol("_play_pad", 0x1100);
        builder.symbol("_stop_pad", 0x1200);
        builder.symbol("_helper", 0x1180, false);  // local
        builder.symbol("_debug_entry", 0x11F0, true, 0x24);  // a debugging entry: never a candidate
        builder.finish();
        crash_macho_image image;
        ASSERT_EQ(crash_macho_image_init(&image, nullptr, "Pads", builder.header()), CRASH_ESUCCESS);
        const struct {
            uint64_t offset;
            int result;
            const char* name;
            uint64_t start;
        } cases[] = {
            {0x1100, CRASH_ESUCCESS, "_play_pad", 0x1100},  // at a symbol's value
            {0x1150, CRASH_ESUCCESS, "_play_pad", 0x1100},
            {0x1190, CRASH_ESUCCESS, "_helper", 0x1180},   // a local one nearer
            {0x11F8, CRASH_ESUCCESS, "_helper", 0x1180},   // the debugging entry is passed over
            {0x1400, CRASH_ESUCCESS, "_stop_pad", 0x1200},
            {0x10FF, CRASH_ENOTFOUND, nullptr, 0},         // below every symbol
        };
        for (const auto& c : cases) {
            Named named;
            EXPECT_EQ(crash_macho_find_symbol_by_pc(&image, nullptr, builder.at(c.offset), keep, &named), c.result)
                << std::hex << c.offset;
            if (c.name) {
                EXPECT_EQ(named.calls, 1);
                EXPECT_EQ(named.name, c.name);
                EXPECT_EQ(named.address, builder.at(c.start));
            } else {
                EXPECT_EQ(named.calls, 0);
            }
        }
        uint64_t address = 0;
        ASSERT_EQ(crash_macho_find_symbol_by_name(&image, nullptr, "_stop_pad", &address), CRASH_ESUCCESS);
        EXPECT_EQ(address, builder.at(0x1200));
        EXPECT_EQ(crash_macho_find_symbol_by_name(&image, nullptr, "_stop", &address), CRASH_ENOTFOUND);
        EXPECT_EQ(crash_macho_find_symbol_by_name(&image, nullptr, "_debug_entry", &address), CRASH_ENOTFOUND);
    }
}

TEST(CrashMachO, AmongEqualValuesTheFirstFoundWinsAndExternalOnesAreSearchedFirst) {
    MachOBuilder builder(optionsFor(layouts[0]));
    builder.symbol("_local_alias", 0x1100, false);
    builder.symbol("_exported", 0x1100, true);
    builder.symbol("_exported_alias", 0x1100, true);
    builder.finish();
    crash_macho_image image;
    ASSERT_EQ(crash_macho_image_init(&image, nullptr, "Pads", builder.header()), CRASH_ESUCCESS);
    Named named;
    ASSERT_EQ(crash_macho_find_symbol_by_pc(&image, nullptr, builder.at(0x1104), keep, &named), CRASH_ESUCCESS);
    EXPECT_EQ(named.name, "_exported");
}

// Damaged tables: every answer is a code.
TEST(CrashMachO, DamagedLoadCommandsAndTablesGiveCodes) {
    MachOBuilder::Options options = optionsFor(layouts[0]);
    {
        // A load command of size 0 used to be read again and again.
        MachOBuilder builder(options);
        builder.symbol("_play_pad", 0x1100);
        builder.finish();
        crash_macho_image image;
        ASSERT_EQ(crash_macho_image_init(&image, nullptr, "Pads", builder.header()), CRASH_ESUCCESS);
        uint32_t zero = 0;
        std::memcpy(builder.bytes(32 + 4), &zero, 4);  // the first command: "__TEXT"
        crash_macho_command_iterator iterator;
        crash_macho_commands_begin(&iterator, &image, nullptr);
        uint64_t address;
        uint32_t type, size;
        EXPECT_FALSE(crash_macho_commands_next(&iterator, &address, &type, &size));
        Named named;
        EXPECT_EQ(crash_macho_find_symbol_by_pc(&image, nullptr, builder.at(0x1100), keep, &named), CRASH_ENOTFOUND);
        EXPECT_EQ(crash_macho_image_init(&image, nullptr, "Pads", builder.header()), CRASH_EINVAL);  // no "__TEXT" now
        uint32_t seven = 7;
        std::memcpy(builder.bytes(32 + 4), &seven, 4);
        crash_macho_commands_begin(&iterator, &image, nullptr);
        EXPECT_FALSE(crash_macho_commands_next(&iterator, &address, &type, &size));
    }
    {
        // Symbol and string tables whose offsets or counts reach past "__LINKEDIT",
        // also where their sum would wrap around.
        struct Damage {
            uint32_t field;  // in LC_SYMTAB: 8 symoff, 12 nsyms, 16 stroff, 20 strsize
            uint32_t value;
        };
        const Damage damages[] = {{12, 0xFFFFFFFF}, {8, 0xFFFFFFF0}, {16, 0xFFFFFFFF}, {20, 0xFFFFFFFF},
                                  {8, 0x1000}, {12, 0x10000000}};
        for (const Damage& damage : damages) {
            MachOBuilder builder(options);
            builder.symbol("_play_pad", 0x1100);
            builder.finish();
            crash_macho_image image;
            ASSERT_EQ(crash_macho_image_init(&image, nullptr, "Pads", builder.header()), CRASH_ESUCCESS);
            uint64_t symtab = crash_macho_find_command(&image, nullptr, CRASH_MACHO_LC_SYMTAB, 0);
            ASSERT_NE(symtab, 0u);
            std::memcpy(reinterpret_cast<void*>(symtab + damage.field), &damage.value, 4);
            Named named;
            EXPECT_EQ(crash_macho_find_symbol_by_pc(&image, nullptr, builder.at(0x1100), keep, &named), CRASH_EINVAL)
                << damage.field << " " << damage.value;
            EXPECT_EQ(named.calls, 0);
        }
    }
    {
        // LC_DYSYMTAB ranges past the symbol count.
        MachOBuilder builder(options);
        builder.symbol("_play_pad", 0x1100);
        builder.finish();
        crash_macho_image image;
        ASSERT_EQ(crash_macho_image_init(&image, nullptr, "Pads", builder.header()), CRASH_ESUCCESS);
        uint64_t dysymtab = crash_macho_find_command(&image, nullptr, CRASH_MACHO_LC_DYSYMTAB, 0);
        uint32_t many = 0xFFFFFFFF;
        std::memcpy(reinterpret_cast<void*>(dysymtab + 20), &many, 4);
        Named named;
        EXPECT_EQ(crash_macho_find_symbol_by_pc(&image, nullptr, builder.at(0x1100), keep, &named), CRASH_EINVAL);
    }
}

TEST(CrashMachO, ANameThatDoesNotEndInsideTheStringTableIsRefused) {
    MachOBuilder builder(optionsFor(layouts[0]));
    builder.symbol("_play_pad", 0x1100);
    builder.finish();
    crash_macho_image image;
    ASSERT_EQ(crash_macho_image_init(&image, nullptr, "Pads", builder.header()), CRASH_ESUCCESS);
    uint64_t symtab = crash_macho_find_command(&image, nullptr, CRASH_MACHO_LC_SYMTAB, 0);
    uint32_t stringSize;
    std::memcpy(&stringSize, reinterpret_cast<void*>(symtab + 20), 4);
    uint32_t cut = 4;  // " \0" and two bytes of the name, without its end
    std::memcpy(reinterpret_cast<void*>(symtab + 20), &cut, 4);
    Named named;
    EXPECT_EQ(crash_macho_find_symbol_by_pc(&image, nullptr, builder.at(0x1100), keep, &named), CRASH_EINVAL);
    EXPECT_EQ(named.calls, 0);
}

// --- Objective-C metadata and the symbol choice -------------------------------------------

struct MethodSeen {
    int calls = 0;
    bool isClassMethod = false;
    std::string className, selector;
    uint64_t implementation = 0;
};

void keepMethod(bool isClassMethod, const char* className, const char* selector, uint64_t implementation, void* context) {
    auto* seen = static_cast<MethodSeen*>(context);
    ++seen->calls;
    seen->isClassMethod = isClassMethod;
    seen->className = className;
    seen->selector = selector;
    seen->implementation = implementation;
}

void describePads(MachOBuilder& builder) {
    builder.objcClass({"PadView", {{"touchDown:", builder.at(0x2000)}, {"layout", builder.at(0x2100)}},
                       {{"padWithIndex:", builder.at(0x2200)}}, true});
    builder.objcClass({"Unrealized", {{"hidden", builder.at(0x2180)}}, {}, false});
    builder.objcCategory({0, "Lamps", {{"lightUp", builder.at(0x2300)}}, {{"lampCount", builder.at(0x2400)}}});
}

TEST(CrashObjc, MethodsOfClassesMetaclassesAndCategoriesInEveryLayout) {
    for (const Layout& layout : layouts) {
        for (bool legacy : {false, true}) {
            SCOPED_TRACE(std::string(layout.name) + (legacy ? ", legacy metadata" : ""));
            MachOBuilder::Options options = optionsFor(layout);
            options.withObjc2 = !legacy;
            options.withLegacyObjc = legacy;
            MachOBuilder builder(options);
            describePads(builder);
            builder.finish();
            crash_macho_image image;
            ASSERT_EQ(crash_macho_image_init(&image, nullptr, "Pads", builder.header()), CRASH_ESUCCESS);
            crash_objc_cache cache;
            crash_objc_cache_init(&cache);
            const struct {
                uint64_t offset;
                bool isClassMethod;
                const char* className;
                const char* selector;
                uint64_t implementation;
                bool legacyToo;
            } cases[] = {
                {0x2000, false, "PadView", "touchDown:", 0x2000, true},
                {0x2050, false, "PadView", "touchDown:", 0x2000, true},
                {0x2150, false, "PadView", "layout", 0x2100, true},  // the unrealized class's method is not seen
                {0x2210, true, "PadView", "padWithIndex:", 0x2200, true},
                {0x2310, false, "PadView", "lightUp", 0x2300, false},
                {0x2500, true, "PadView", "lampCount", 0x2400, false},
            };
            for (const auto& c : cases) {
                if (legacy && !c.legacyToo) continue;
                MethodSeen seen;
                ASSERT_EQ(crash_objc_method_lookup(&image, nullptr, &cache, builder.at(c.offset), keepMethod, &seen),
                          CRASH_ESUCCESS)
                    << std::hex << c.offset;
                EXPECT_EQ(seen.calls, 1);
                EXPECT_EQ(seen.isClassMethod, c.isClassMethod);
                EXPECT_EQ(seen.className, c.className);
                EXPECT_EQ(seen.selector, c.selector);
                EXPECT_EQ(seen.implementation, builder.at(c.implementation));
            }
            MethodSeen none;
            EXPECT_EQ(crash_objc_method_lookup(&image, nullptr, &cache, builder.at(0x1FFF), keepMethod, &none),
                      CRASH_ENOTFOUND);
            EXPECT_EQ(crash_objc_method_lookup(&image, nullptr, nullptr, builder.at(0x2000), keepMethod, &none),
                      CRASH_EACCESS);
            EXPECT_EQ(none.calls, 0);
            crash_objc_cache_free(&cache);
        }
    }
}

TEST(CrashObjc, DamagedMetadataEndsTheLookupWithACode) {
    MachOBuilder builder(optionsFor(layouts[0]));
    describePads(builder);
    builder.finish();
    crash_macho_image image;
    ASSERT_EQ(crash_macho_image_init(&image, nullptr, "Pads", builder.header()), CRASH_ESUCCESS);
    // The class list's first class points nowhere.
    uint64_t nowhere = 0x10;
    std::memcpy(builder.bytes(MachOBuilder::kClassList), &nowhere, 8);
    crash_objc_cache cache;
    crash_objc_cache_init(&cache);
    MethodSeen seen;
    EXPECT_EQ(crash_objc_method_lookup(&image, nullptr, &cache, builder.at(0x2000), keepMethod, &seen),
              CRASH_EINVALID_DATA);
    EXPECT_EQ(seen.calls, 0);
    crash_objc_cache_free(&cache);
}

TEST(CrashSymbol, TheStrategyChoosesBetweenTheSymbolTableAndTheMetadata) {
    MachOBuilder builder(optionsFor(layouts[0]));
    describePads(builder);
    builder.symbol("_pads_helper", 0x2080);   // nearer than touchDown: for a pc at 0x2090
    builder.symbol("_same_as_layout", 0x2100);  // equal to layout's implementation
    builder.symbol("_before_all", 0x1F00);
    builder.finish();
    crash_macho_image image;
    ASSERT_EQ(crash_macho_image_init(&image, nullptr, "Pads", builder.header()), CRASH_ESUCCESS);
    crash_objc_cache cache;
    crash_objc_cache_init(&cache);
    const struct {
        uint32_t strategy;
        uint64_t pc;
        int result;
        const char* name;
        uint64_t start;
    } cases[] = {
        {1, 0x2010, CRASH_ESUCCESS, "_before_all", 0x1F00},
        {2, 0x2010, CRASH_ESUCCESS, "-[PadView touchDown:]", 0x2000},
        {3, 0x2010, CRASH_ESUCCESS, "-[PadView touchDown:]", 0x2000},  // the method lies above the symbol
        {3, 0x2110, CRASH_ESUCCESS, "-[PadView layout]", 0x2100},       // equal: the method wins too
        {3, 0x2090, CRASH_ESUCCESS, "_pads_helper", 0x2080},            // the symbol is nearer than every method
        {3, 0x2210, CRASH_ESUCCESS, "+[PadView padWithIndex:]", 0x2200},
        {2, 0x1F10, CRASH_ENOTFOUND, nullptr, 0},  // below every method: the table was not asked
        {1, 0x1000, CRASH_ENOTFOUND, nullptr, 0},
        {0, 0x2010, CRASH_ENOTFOUND, nullptr, 0},
    };
    for (const auto& c : cases) {
        Named choice;
        EXPECT_EQ(crash_find_symbol(&image, nullptr, c.strategy, &cache, builder.at(c.pc), keep, &choice), c.result)
            << c.strategy << " " << std::hex << c.pc;
        if (c.name) {
            EXPECT_EQ(choice.calls, 1);
            EXPECT_EQ(choice.name, c.name);
            EXPECT_EQ(choice.address, builder.at(c.start));
        } else {
            EXPECT_EQ(choice.calls, 0);
        }
    }
    crash_objc_cache_free(&cache);
}

TEST(CrashSymbol, LongNamesAreCutTo255BytesAtACharacterBoundary) {
    MachOBuilder builder(optionsFor(layouts[0]));
    std::string className(150, 'C');
    std::string selector(150, 's');
    // "-[" + 150 + " " + 150 + "]" is 304 bytes.
    builder.objcClass({className, {{selector, builder.at(0x2000)}}, {}, true});
    // A symbol whose 255th byte falls inside a two-byte character.
    std::string symbol = "_" + std::string(253, 'x') + "\xC3\xA9" + "tail";
    builder.symbol(symbol, 0x1800);
    builder.finish();
    crash_macho_image image;
    ASSERT_EQ(crash_macho_image_init(&image, nullptr, "Pads", builder.header()), CRASH_ESUCCESS);
    crash_objc_cache cache;
    crash_objc_cache_init(&cache);
    Named method;
    ASSERT_EQ(crash_find_symbol(&image, nullptr, 2, &cache, builder.at(0x2000), keep, &method), CRASH_ESUCCESS);
    EXPECT_EQ(method.name.size(), 255u);
    EXPECT_EQ(method.name, ("-[" + className + " " + selector).substr(0, 255));
    Named cut;
    ASSERT_EQ(crash_find_symbol(&image, nullptr, 1, &cache, builder.at(0x1800), keep, &cut), CRASH_ESUCCESS);
    EXPECT_EQ(cut.name, "_" + std::string(253, 'x'));  // the split character is left out whole
    crash_objc_cache_free(&cache);
}

TEST(CrashSymbol, Utf8CutsNeverSplitACharacter) {
    const struct {
        const char* text;
        uint32_t limit;
        const char* expected;
    } cases[] = {
        {"abc", 5, "abc"},
        {"abcdef", 3, "abc"},
        {"ab\xC3\xA9", 3, "ab"},
        {"ab\xE2\x82\xAC", 4, "ab"},
        {"ab\xE2\x82\xAC", 5, "ab\xE2\x82\xAC"},
        {"\xF0\x9F\xA5\x81x", 3, ""},
    };
    for (const auto& c : cases) {
        char buffer[32];
        std::strcpy(buffer, c.text);
        crash_utf8_cut(buffer, c.limit);
        EXPECT_STREQ(buffer, c.expected) << c.text << " " << c.limit;
    }
}

}  // namespace
}  // namespace strombel::crash
