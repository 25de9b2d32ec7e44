// A stand-in for the audio exchange program's local server, for the exchange
// tests: cpp-httplib on 127.0.0.1 at a port it picks, printed on its first line.
//
//   exchange_peer FOLDER [MODE [PORT]]
//
// FOLDER holds the items: "/contents" lists its ".wav" files (name: what
// "STEM.name" beside one holds, else its stem), "/items/FILE" serves one, and "/upload?name=N" stores the body
// as "upload-K.wav" with N written beside it in "upload-K.name". MODE turns the
// peer hostile: "traversal" (items whose paths climb out), "huge" (an item larger
// than it announces, and one announced at a terabyte), "notjson", "biglist"
// (a list of 2 MiB), "notaudio" (items that are text), "silent" (answers
// nothing, ever). PORT, when given, is the port to take instead of a free one
// (a peer that comes back where it was). It runs until killed.

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace {

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::filesystem::path folder = argv[1];
    const std::string mode = argc > 2 ? argv[2] : "normal";
    httplib::Server server;
    int uploads = 0;

    auto silent = [&](httplib::Response&) {
        if (mode == "silent") std::this_thread::sleep_for(std::chrono::hours(1));
    };
    server.Get("/status", [&](const httplib::Request&, httplib::Response& response) {
        silent(response);
        response.set_content("running", "text/plain");
    });
    server.Post("/upload", [&](const httplib::Request& request, httplib::Response& response) {
        silent(response);
        const std::string stem = "upload-" + std::to_string(++uploads);
        std::ofstream(folder / (stem + ".wav"), std::ios::binary) << request.body;
        std::ofstream(folder / (stem + ".name"), std::ios::binary) << request.get_param_value("name");
        response.set_content("stored", "text/plain");
    });
    server.Get("/contents", [&](const httplib::Request&, httplib::Response& response) {
        silent(response);
        std::string list = "[";
        auto add = [&](const std::string& name, const std::string& path, const std::string& size) {
            if (list.size() > 1) list += ",";
            list += "{\"name\":" + jsonString(name) + ",\"path\":" + jsonString(path) + ",\"size\":" + size + "}";
        };
        if (mode == "notjson") return response.set_content("<html>no list here</html>", "text/html");
        if (mode == "biglist") {
            for (int i = 0; list.size() < (2u << 20); ++i) add("item " + std::to_string(i), "/items/x.wav", "100");
            return response.set_content(list + "]", "application/json");
        }
        if (mode == "traversal") {
            add("../../escape", "/items/../../etc/passwd", "100");
            add("escape", "../outside.wav", "100");
            add("escape", "/items/..", "100");
        }
        if (mode == "huge") add("a terabyte", "/items/huge.wav", "1099511627776");
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            if (entry.path().extension() != ".wav") continue;
            const std::string size = mode == "huge" ? "100" : std::to_string(entry.file_size());
            std::filesystem::path label = entry.path();
            label.replace_extension(".name");
            const std::string name = std::filesystem::exists(label) ? readFile(label) : entry.path().stem().string();
            add(name, "/items/" + entry.path().filename().string(), size);
        }
        response.set_content(list + "]", "application/json");
    });
    server.Get(R"(/items/([^/]+))", [&](const httplib::Request& request, httplib::Response& response) {
        silent(response);
        const std::filesystem::path file = folder / std::string(request.matches[1]);
        if (mode == "notaudio") return response.set_content(std::string(5000, 'x'), "audio/wav");
        if (!std::filesystem::is_regular_file(file)) {
            response.status = 404;
            return;
        }
        response.set_content(readFile(file), "audio/wav");
    });

    int port = argc > 3 ? std::atoi(argv[3]) : 0;
    if (port > 0 ? !server.bind_to_port("127.0.0.1", port) : (port = server.bind_to_any_port("127.0.0.1")) <= 0) return 1;
    std::printf("%d\n", port);
    std::fflush(stdout);
    server.listen_after_bind();
    return 0;
}
