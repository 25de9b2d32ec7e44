#pragma once

// The documents the JSON benchmarks read and write, built here from a fixed seed.

#include <string>
#include <vector>

namespace strombel::json::bench {

struct Document {
    std::string name;
    std::string text;
};

/// Store-catalogue-like, number-heavy, string-and-escape-heavy and deeply nested
/// documents of several megabytes each.
std::vector<Document> largeDocuments();
/// Pack description files of 1 to 10 KB each.
std::vector<std::string> packFiles();

}  // namespace strombel::json::bench
