// What a user waits for: the first launch (eight packs imported), importing a
// pack, and the library's questions on a large library (10,000 samples, 500
// banks), with the same questions asked of SQLite directly beside them.
//
//   build/bench/library/library_bench

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <fstream>
#include <memory>
#include <string>

#include "library/data_migration_manager.h"
#include "library/sound_data_manager.h"
#include "platform/clock.h"
#include "platform/main_loop.h"
#include "platform/sandbox.h"
#include "platform/user_defaults.h"
#include "support/temp_dir.h"

namespace {

using namespace strombel;

/// One installation in a temporary folder.
struct Installation {
    testing::TempDir dir;
    platform::ManualClock clock;
    platform::MainLoop loop{clock};
    platform::Sandbox sandbox{dir / "root", STROMBEL_BENCH_BUNDLE_DIR};
    std::unique_ptr<platform::UserDefaults> defaults;
    std::unique_ptr<library::SoundDataManager> library;

    Installation() {
        (void)sandbox.createFolders();
        defaults = std::make_unique<platform::UserDefaults>(sandbox.preferences() / "defaults.sqlite");
    }
    void launch() { library = std::make_unique<library::SoundDataManager>(sandbox, *defaults, loop); }
};

void BM_FirstLaunchMigration(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto installation = std::make_unique<Installation>();
        state.ResumeTiming();
        installation->launch();
        library::DataMigrationManager::makeDataUpToDate(*installation->library);
        benchmark::DoNotOptimize(installation->library->soundpacks().size());
        state.PauseTiming();
        installation.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_FirstLaunchMigration)->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_SecondLaunch(benchmark::State& state) {
    Installation installation;
    installation.launch();
    library::DataMigrationManager::makeDataUpToDate(*installation.library);
    for (auto _ : state) {
        installation.library.reset();
        installation.launch();
        library::DataMigrationManager::makeDataUpToDate(*installation.library);
    }
}
BENCHMARK(BM_SecondLaunch)->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_ImportPackOfTwelve(benchmark::State& state) {
    Installation installation;
    installation.launch();
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::string id = "pack" + std::to_string(round++);
        std::string text = R"({"id": ")" + id + R"(", "name": ")" + id + R"(", "banks": [{"name": "B", "sounds": [)";
        for (int i = 0; i < 12; ++i) text += std::string(i ? "," : "") + R"({"file": ")" + id + "_" + std::to_string(i) + R"(.wav"})";
        text += "]}]}";
        state.ResumeTiming();
        auto result = installation.library->addSoundpackFromJson(text);
        benchmark::DoNotOptimize(result.ok());
    }
}
BENCHMARK(BM_ImportPackOfTwelve)->Unit(benchmark::kMillisecond)->Iterations(50);

/// 5,000 user samples (with their files) and 5,000 samples in 25 downloaded
/// packs; 500 banks of twelve pads.
class LargeLibrary : public benchmark::Fixture {
public:
    void SetUp(const benchmark::State&) override {
        if (installation) return;
        installation = std::make_unique<Installation>();
        installation->launch();
        auto& library = *installation->library;
        auto& context = library.managedObjectContext();
        auto user = library.userSamplesSoundpack();
        std::vector<std::shared_ptr<library::Sample>> all;
        for (int i = 0; i < 5000; ++i) {
            std::string name = "Take " + std::to_string((i * 7919) % 5000);
            std::string file = "take" + std::to_string(i) + ".wav";
            std::ofstream(installation->sandbox.documents() / file) << "x";
            auto sample = context.insertSample();
            sample->setFilepath("Documents/" + file);
            sample->setName(name);
            sample->setSoundpack(user);
            all.push_back(sample);
        }
        for (int p = 0; p < 25; ++p) {
            auto pack = context.insertSoundpack();
            pack->setPackId("pack" + std::to_string(p));
            pack->setName("Pack " + std::to_string((p * 13) % 25));
            for (int i = 0; i < 200; ++i) {
                auto sample = context.insertSample();
                sample->setFilepath("Library/Caches/downloads/p" + std::to_string(p) + "_" + std::to_string(i) + ".wav");
                sample->setName("Hit " + std::to_string(i));
                sample->setSoundpack(pack);
                all.push_back(sample);
            }
        }
        for (int b = 0; b < 500; ++b) {
            auto bank = context.insertSoundbank();
            bank->setName("Bank " + std::to_string(b));
            bank->setOrderId(b);
            for (uint64_t pad = 0; pad < 12; ++pad) {
                auto assignment = context.insertSoundbankSample();
                assignment->setOrderId(pad);
                assignment->setSoundbank(bank);
                assignment->setSample(all[(static_cast<size_t>(b) * 12 + pad) % all.size()]);
            }
        }
        library.saveSamples();
        library.saveSoundbanks();
        sqlite3_open((installation->sandbox.documents() / library::SoundDataManager::kStoreFileName).c_str(), &peer);
    }
    void TearDown(const benchmark::State&) override {}

    static std::unique_ptr<Installation> installation;
    static sqlite3* peer;
};
std::unique_ptr<Installation> LargeLibrary::installation;
sqlite3* LargeLibrary::peer = nullptr;

#define LIBRARY_QUERY(Name, Expression)                                  \
    BENCHMARK_DEFINE_F(LargeLibrary, Name)(benchmark::State & state) {  \
        auto& library = *installation->library;                         \
        for (auto _ : state) benchmark::DoNotOptimize(Expression);      \
    }                                                                   \
    BENCHMARK_REGISTER_F(LargeLibrary, Name)->Unit(benchmark::kMicrosecond)

LIBRARY_QUERY(soundpacks, library.soundpacks().size());
LIBRARY_QUERY(soundbanks, library.soundbanks().size());
LIBRARY_QUERY(samples, library.samples().size());
LIBRARY_QUERY(sampleWithFilepath, library.sampleWithFilepath("Documents/take4321.wav"));
LIBRARY_QUERY(soundbankSamplesOfSoundbank, library.soundbankSamplesOfSoundbank(250).size());
LIBRARY_QUERY(samplesOfSoundbank, library.samplesOfSoundbank(250).size());
LIBRARY_QUERY(sampleForSoundbank, library.sampleForSoundbank(250, 7));
LIBRARY_QUERY(samplePathsOfSoundbank, library.samplePathsOfSoundbank(250)[3].size());
LIBRARY_QUERY(soundpackWithIdExists, library.soundpackWithIdExists("pack24"));
LIBRARY_QUERY(highestSoundbankOrderId, library.highestSoundbankOrderId());
LIBRARY_QUERY(userSamples, library.userSamples().size());
LIBRARY_QUERY(groupedSamplesRefetch, (library.saveSamples(), 0));
LIBRARY_QUERY(findUserSampleFiles, library.findUserSampleFiles().size());
LIBRARY_QUERY(scanUserSamplesUnchanged, (library.scanUserSamplesChanges(), 0));

BENCHMARK_DEFINE_F(LargeLibrary, setSampleAndSave)(benchmark::State& state) {
    auto& library = *installation->library;
    std::shared_ptr<library::Sample> samples[] = {library.sampleWithFilepath("Documents/take123.wav"),
                                                  library.sampleWithFilepath("Documents/take124.wav")};
    size_t round = 0;
    // Each round puts the other sample on the pad, so each save writes a change.
    for (auto _ : state) benchmark::DoNotOptimize(library.setSample(samples[round++ % 2], 250, 5, true, false));
}
BENCHMARK_REGISTER_F(LargeLibrary, setSampleAndSave)->Unit(benchmark::kMicrosecond);

/// The same questions asked of the store file with SQL.
double sqlPeer(sqlite3* database, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(database, sql, -1, &statement, nullptr);
    double rows = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) rows += 1;
    sqlite3_finalize(statement);
    return rows;
}

#define SQL_PEER(Name, Sql)                                              \
    BENCHMARK_DEFINE_F(LargeLibrary, Name)(benchmark::State & state) {  \
        for (auto _ : state) benchmark::DoNotOptimize(sqlPeer(peer, Sql)); \
    }                                                                   \
    BENCHMARK_REGISTER_F(LargeLibrary, Name)->Unit(benchmark::kMicrosecond)

SQL_PEER(sqlite_soundbanks, "SELECT id, name, orderId FROM Soundbank ORDER BY orderId");
SQL_PEER(sqlite_sampleWithFilepath, "SELECT id FROM Sample WHERE filepath = 'Documents/take4321.wav' LIMIT 1");
SQL_PEER(sqlite_soundbankSamplesOfSoundbank,
         "SELECT s.filepath FROM SoundbankSample a JOIN Sample s ON s.id = a.sample WHERE a.soundbank = "
         "(SELECT id FROM Soundbank ORDER BY orderId LIMIT 1 OFFSET 250) ORDER BY a.orderId");
SQL_PEER(sqlite_userSamples,
         "SELECT s.id, s.name FROM Sample s JOIN Soundpack p ON p.id = s.soundpack WHERE p.packId = 'usersamples' "
         "ORDER BY s.name COLLATE NOCASE");

}  // namespace

BENCHMARK_MAIN();
