#include "documents.h"

#include <fmt/format.h>

#include <random>

namespace strombel::json::bench {

namespace {

constexpr const char* kWords[] = {"kick", "snare", "hat", "clap", "tom", "crash", "ride", "shaker", "cowbell", "rim",
                                  "deep", "bright", "dusty", "vintage", "punchy", "warm", "tape", "analog", "808", "909"};

std::string words(std::mt19937& random, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        if (i) text += ' ';
        text += kWords[random() % 20];
    }
    return text;
}

std::string catalogue(size_t targetBytes) {
    std::mt19937 random(1);
    std::string text = "{\"version\":12,\"baseURL\":\"https://store.example.com/packs/\",\"items\":[";
    for (int item = 0; text.size() < targetBytes; ++item) {
        if (item) text += ',';
        text += fmt::format(
            "{{\"id\":\"com.tumblecraft.pack.{}\",\"name\":\"{}\",\"description\":\"{}\",\"price\":{:.2f},"
            "\"tier\":{},\"icon\":\"icons/pack{}.png\",\"new\":{},\"released\":\"2026-{:02}-{:02}\",\"tags\":[\"{}\",\"{}\"],"
            "\"files\":[",
            item, words(random, 3), words(random, 14), 0.99 + static_cast<int>(random() % 5), random() % 5, item,
            random() % 2 ? "true" : "false", 1 + random() % 12, 1 + random() % 28, kWords[random() % 20],
            kWords[random() % 20]);
        const int files = 4 + static_cast<int>(random() % 8);
        for (int file = 0; file < files; ++file) {
            if (file) text += ',';
            text += fmt::format("{{\"path\":\"samples/{}/{}.wav\",\"size\":{},\"md5\":\"{:016x}{:016x}\"}}", item,
                                kWords[random() % 20], random() % 2000000,
                                (uint64_t{random()} << 32) | random(), (uint64_t{random()} << 32) | random());
        }
        text += "]}";
    }
    return text + "]}";
}

std::string numbers(size_t targetBytes) {
    std::mt19937_64 random(2);
    std::uniform_real_distribution<double> coordinate(-1000.0, 1000.0);
    std::string text = "{\"points\":[";
    for (int i = 0; text.size() < targetBytes; ++i) {
        if (i) text += ',';
        text += fmt::format("[{},{},{},{},{}]", coordinate(random), coordinate(random), coordinate(random),
                            static_cast<int64_t>(random() % 2000000) - 1000000, random() % 100000);
    }
    return text + "]}";
}

std::string strings(size_t targetBytes) {
    std::mt19937 random(3);
    constexpr const char* kPieces[] = {
        "plain words ",    "a \\\"quoted\\\" word ", "back\\\\slash ", "line\\nbreak ", "tab\\there ",
        "caf\xc3\xa9 ",    "\\u00e9t\\u00e9 ",       "\xe2\x82\xac\x35 ", "\\ud83e\\udd41 drum ",
        "\xf0\x9f\xa5\x81 ", "path\\/to\\/file ",     "\\u0001ctl "};
    std::string text = "[";
    for (int i = 0; text.size() < targetBytes; ++i) {
        if (i) text += ',';
        text += '"';
        const int pieces = 1 + static_cast<int>(random() % 12);
        for (int piece = 0; piece < pieces; ++piece) text += kPieces[random() % 12];
        text += '"';
    }
    return text + "]";
}

std::string nestedBranch(std::mt19937& random, int depth) {
    if (depth == 0) return fmt::format("{{\"leaf\":{},\"name\":\"{}\"}}", random() % 1000, kWords[random() % 20]);
    if (depth % 2) return fmt::format("[{},{}]", random() % 100, nestedBranch(random, depth - 1));
    return fmt::format("{{\"level\":{},\"child\":{}}}", depth, nestedBranch(random, depth - 1));
}

std::string nested(size_t targetBytes) {
    std::mt19937 random(4);
    std::string text = "[";
    for (int i = 0; text.size() < targetBytes; ++i) {
        if (i) text += ',';
        text += nestedBranch(random, 200 + static_cast<int>(random() % 300));
    }
    return text + "]";
}

}  // namespace

std::vector<Document> largeDocuments() {
    return {{"catalogue", catalogue(8u << 20)},
            {"numbers", numbers(4u << 20)},
            {"strings", strings(4u << 20)},
            {"nested", nested(2u << 20)}};
}

std::vector<std::string> packFiles() {
    std::mt19937 random(5);
    std::vector<std::string> packs;
    for (int pack = 0; pack < 64; ++pack) {
        std::string text = fmt::format(
            "{{\n  \"id\": \"com.tumblecraft.pack.{}\",\n  \"name\": \"{}\",\n  \"version\": {},\n  \"sounds\": [\n",
            pack, words(random, 2), 1 + random() % 9);
        const int sounds = 6 + static_cast<int>(random() % 60);
        for (int sound = 0; sound < sounds; ++sound) {
            text += fmt::format(
                "    {{\"file\": \"{}_{}.wav\", \"name\": \"{}\", \"gain\": {:.3f}, \"pan\": {:.2f}, \"loop\": {}, "
                "\"choke\": {}}}{}\n",
                kWords[random() % 20], sound, words(random, 2), (random() % 1000) / 1000.0,
                (static_cast<int>(random() % 200) - 100) / 100.0, random() % 2 ? "true" : "false", random() % 4,
                sound + 1 < sounds ? "," : "");
        }
        text += "  ],\n  \"banks\": {\"Main\": [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11]}\n}\n";
        packs.push_back(std::move(text));
    }
    return packs;
}

}  // namespace strombel::json::bench
