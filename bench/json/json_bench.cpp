// Decode and encode speed of our JSON codec beside RapidJSON (DOM), nlohmann-json and
// simdjson (DOM, the upper bound), on the same documents in one run:
//
//   build/bench/json/json_bench --benchmark_min_time=0.5
//
// Decoding: every library builds its own tree in memory from the same text.
// Each benchmark reports bytes_per_second over the document's text.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "documents.h"
#include "json/json_decoder.h"
#include "json/json_serializer.h"
#include "json/json_text.h"

#if STROMBEL_BENCH_RAPIDJSON
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#endif
#if STROMBEL_BENCH_NLOHMANN
#include <nlohmann/json.hpp>
#endif
#if STROMBEL_BENCH_SIMDJSON
#include <simdjson.h>
#endif

namespace {

using namespace strombel::json;
using strombel::json::bench::Document;

size_t totalBytes(const std::vector<std::string>& texts) {
    size_t total = 0;
    for (const auto& text : texts) total += text.size();
    return total;
}

// Each benchmark runs over a set of texts (one large document, or all the pack files).
struct Corpus {
    std::string name;
    std::vector<std::string> texts;
};

void registerCorpus(const Corpus& corpus) {
    const std::vector<std::string>* texts = &corpus.texts;
    const int64_t bytes = static_cast<int64_t>(totalBytes(corpus.texts));

    benchmark::RegisterBenchmark(("decode/" + corpus.name + "/strombel").c_str(), [texts, bytes](benchmark::State& state) {
        for (auto _ : state) {
            for (const auto& text : *texts) {
                Result<Value> value = JSONDecoder::decode(text);
                if (!value.ok()) state.SkipWithError(value.error().description().c_str());
                benchmark::DoNotOptimize(value);
            }
        }
        state.SetBytesProcessed(state.iterations() * bytes);
    });
    benchmark::RegisterBenchmark(("decode/" + corpus.name + "/strombel_second_codec").c_str(),
                                 [texts, bytes](benchmark::State& state) {
                                     JsonText json;
                                     json.setMaxDepth(0);
                                     for (auto _ : state) {
                                         for (const auto& text : *texts) {
                                             Result<Value> value = json.objectWithString(text);
                                             if (!value.ok()) state.SkipWithError(value.error().description().c_str());
                                             benchmark::DoNotOptimize(value);
                                         }
                                     }
                                     state.SetBytesProcessed(state.iterations() * bytes);
                                 });
#if STROMBEL_BENCH_RAPIDJSON
    benchmark::RegisterBenchmark(("decode/" + corpus.name + "/rapidjson").c_str(), [texts, bytes](benchmark::State& state) {
        for (auto _ : state) {
            for (const auto& text : *texts) {
                rapidjson::Document document;
                document.Parse(text.data(), text.size());
                if (document.HasParseError()) state.SkipWithError("rapidjson parse error");
                benchmark::DoNotOptimize(document);
            }
        }
        state.SetBytesProcessed(state.iterations() * bytes);
    });
    // What our decoder does by default: exact doubles and UTF-8 validation.
    benchmark::RegisterBenchmark(("decode/" + corpus.name + "/rapidjson_exact_validating").c_str(),
                                 [texts, bytes](benchmark::State& state) {
                                     for (auto _ : state) {
                                         for (const auto& text : *texts) {
                                             rapidjson::Document document;
                                             document.Parse<rapidjson::kParseFullPrecisionFlag |
                                                            rapidjson::kParseValidateEncodingFlag>(text.data(), text.size());
                                             if (document.HasParseError()) state.SkipWithError("rapidjson parse error");
                                             benchmark::DoNotOptimize(document);
                                         }
                                     }
                                     state.SetBytesProcessed(state.iterations() * bytes);
                                 });
#endif
#if STROMBEL_BENCH_NLOHMANN
    benchmark::RegisterBenchmark(("decode/" + corpus.name + "/nlohmann").c_str(), [texts, bytes](benchmark::State& state) {
        for (auto _ : state) {
            for (const auto& text : *texts) {
                nlohmann::json document = nlohmann::json::parse(text);
                benchmark::DoNotOptimize(document);
            }
        }
        state.SetBytesProcessed(state.iterations() * bytes);
    });
#endif
#if STROMBEL_BENCH_SIMDJSON
    benchmark::RegisterBenchmark(("decode/" + corpus.name + "/simdjson").c_str(), [texts, bytes](benchmark::State& state) {
        simdjson::dom::parser parser;
        std::vector<simdjson::padded_string> padded;
        for (const auto& text : *texts) padded.emplace_back(text);
        for (auto _ : state) {
            for (const auto& text : padded) {
                simdjson::dom::element document;
                if (parser.parse(text).get(document)) state.SkipWithError("simdjson parse error");
                benchmark::DoNotOptimize(document);
            }
        }
        state.SetBytesProcessed(state.iterations() * bytes);
    });
#endif

    // Encoding: each library writes its own tree of the same documents, compact.
    // Ours, nlohmann and simdjson hand back a std::string the caller owns. RapidJSON's
    // writer leaves the text in its StringBuffer: "rapidjson" stops there (the writer
    // alone); "rapidjson_to_string" then copies it into a std::string, the way a caller
    // that keeps the text gets it, which is the like-for-like peer of ours.
    benchmark::RegisterBenchmark(("encode/" + corpus.name + "/strombel").c_str(), [texts, bytes](benchmark::State& state) {
        std::vector<Value> values;
        for (const auto& text : *texts) values.push_back(JSONDecoder::decode(text).value());
        for (auto _ : state) {
            for (const auto& value : values) {
                Result<std::string> text = JSONString(value);
                benchmark::DoNotOptimize(text);
            }
        }
        state.SetBytesProcessed(state.iterations() * bytes);
    });
#if STROMBEL_BENCH_RAPIDJSON
    benchmark::RegisterBenchmark(("encode/" + corpus.name + "/rapidjson").c_str(), [texts, bytes](benchmark::State& state) {
        std::vector<rapidjson::Document> documents(texts->size());
        for (size_t i = 0; i < texts->size(); ++i) documents[i].Parse((*texts)[i].data(), (*texts)[i].size());
        for (auto _ : state) {
            for (const auto& document : documents) {
                rapidjson::StringBuffer buffer;
                rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
                document.Accept(writer);
                benchmark::DoNotOptimize(buffer.GetString());
            }
        }
        state.SetBytesProcessed(state.iterations() * bytes);
    });
    benchmark::RegisterBenchmark(("encode/" + corpus.name + "/rapidjson_to_string").c_str(),
                                 [texts, bytes](benchmark::State& state) {
                                     std::vector<rapidjson::Document> documents(texts->size());
                                     for (size_t i = 0; i < texts->size(); ++i) {
                                         documents[i].Parse((*texts)[i].data(), (*texts)[i].size());
                                     }
                                     for (auto _ : state) {
                                         for (const auto& document : documents) {
                                             rapidjson::StringBuffer buffer;
                                             rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
                                             document.Accept(writer);
                                             std::string text(buffer.GetString(), buffer.GetSize());
                                             benchmark::DoNotOptimize(text);
                                         }
                                     }
                                     state.SetBytesProcessed(state.iterations() * bytes);
                                 });
#endif
#if STROMBEL_BENCH_NLOHMANN
    benchmark::RegisterBenchmark(("encode/" + corpus.name + "/nlohmann").c_str(), [texts, bytes](benchmark::State& state) {
        std::vector<nlohmann::json> documents;
        for (const auto& text : *texts) documents.push_back(nlohmann::json::parse(text));
        for (auto _ : state) {
            for (const auto& document : documents) {
                std::string text = document.dump();
                benchmark::DoNotOptimize(text);
            }
        }
        state.SetBytesProcessed(state.iterations() * bytes);
    });
#endif
#if STROMBEL_BENCH_SIMDJSON
    benchmark::RegisterBenchmark(("encode/" + corpus.name + "/simdjson").c_str(), [texts, bytes](benchmark::State& state) {
        std::vector<simdjson::dom::parser> parsers(texts->size());
        std::vector<simdjson::dom::element> documents(texts->size());
        for (size_t i = 0; i < texts->size(); ++i) {
            if (parsers[i].parse((*texts)[i]).get(documents[i])) state.SkipWithError("simdjson parse error");
        }
        for (auto _ : state) {
            for (const auto& document : documents) {
                std::string text = simdjson::minify(document);
                benchmark::DoNotOptimize(text);
            }
        }
        state.SetBytesProcessed(state.iterations() * bytes);
    });
#endif
}

// An object of `members` members, the last of which repeats the first key (or
// not): a repeated key must cost about as much as a fresh one.
std::string objectWithKeys(int64_t members, bool repeatFirst) {
    std::string text = "{";
    for (int64_t i = 0; i < members; ++i) {
        if (i) text += ",";
        const int64_t key = repeatFirst && i == members - 1 ? 0 : i;
        text += "\"item-" + std::to_string(key) + "\":{\"title\":\"Pack " + std::to_string(i) + "\",\"state\":1}";
    }
    return text + "}";
}

template <bool repeatFirst, bool secondCodec>
void decodeObjectWithKeys(benchmark::State& state) {
    const std::string text = objectWithKeys(state.range(0), repeatFirst);
    JsonText json;
    for (auto _ : state) {
        Result<Value> value = secondCodec ? json.objectWithString(text) : JSONDecoder::decode(text);
        if (!value.ok()) state.SkipWithError(value.error().description().c_str());
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

BENCHMARK(decodeObjectWithKeys<false, false>)->Name("decode/object_unique_keys/strombel")->Arg(1000)->Arg(10000)->Arg(30000);
BENCHMARK(decodeObjectWithKeys<true, false>)->Name("decode/object_one_repeated_key/strombel")->Arg(1000)->Arg(10000)->Arg(30000);
BENCHMARK(decodeObjectWithKeys<false, true>)->Name("decode/object_unique_keys/strombel_second_codec")->Arg(1000)->Arg(10000)->Arg(30000);
BENCHMARK(decodeObjectWithKeys<true, true>)->Name("decode/object_one_repeated_key/strombel_second_codec")->Arg(1000)->Arg(10000)->Arg(30000);

}  // namespace

int main(int argc, char** argv) {
    static std::vector<Corpus> corpora;
    for (auto& document : strombel::json::bench::largeDocuments()) {
        std::fprintf(stderr, "%s: %.1f MB\n", document.name.c_str(), document.text.size() / 1048576.0);
        corpora.push_back({document.name, {std::move(document.text)}});
    }
    Corpus packs{"packs", strombel::json::bench::packFiles()};
    std::fprintf(stderr, "packs: %zu files, %.1f KB on average\n", packs.texts.size(),
                 totalBytes(packs.texts) / 1024.0 / packs.texts.size());
    corpora.push_back(std::move(packs));
    for (const auto& corpus : corpora) registerCorpus(corpus);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
