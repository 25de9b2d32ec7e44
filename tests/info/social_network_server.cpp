#include "social_network_server.h"

#include <chrono>

namespace strombel::info::test_support {

std::string SeenRequest::header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

namespace {

// The feed dialog: a form whose submit ends on the "socialconnect" address, a
// cancel link, and a link to another site.
const char* kFeedPage = R"(<!DOCTYPE html><html><head><title>Post to your feed</title></head>
<body style="background:#fff;font:14px sans-serif">
<h3 id="title">Post to your feed</h3>
<form id="post" method="get" action="socialconnect://success">
<input type="hidden" name="post_id" value="1234_5678">
<textarea id="message" name="message"></textarea>
<input id="share" type="submit" value="Share">
</form>
<a id="cancel" href="socialconnect://cancel">Cancel</a>
<a id="away" href="http://127.0.0.1:1/elsewhere">Elsewhere</a>
)";

}  // namespace

LoopbackSocialNetwork::LoopbackSocialNetwork(std::string address) : address_(std::move(address)) {
    auto record = [this](const httplib::Request& request) {
        SeenRequest seen{request.method, request.path, "", request.body, request.headers};
        const auto question = request.target.find('?');
        if (question != std::string::npos) seen.query = request.target.substr(question + 1);
        std::lock_guard lock(mutex_);
        seen_.push_back(std::move(seen));
    };
    server_.Get("/dialog/oauth", [this, record](const httplib::Request& request, httplib::Response& response) {
        record(request);
        const std::string redirect = request.get_param_value("redirect_uri");
        std::string fragment = "access_token=" + token;
        if (!expiresIn.empty()) fragment += "&expires_in=" + expiresIn;
        // The login's state goes back with its answer.
        if (request.has_param("state")) fragment += "&state=" + request.get_param_value("state");
        response.status = 302;
        response.set_header("Location", redirect + "#" + fragment);
    });
    server_.Get("/dialog/feed", [this, record](const httplib::Request& request, httplib::Response& response) {
        record(request);
        response.set_content(std::string(kFeedPage) + feedPageExtra + "</body></html>", "text/html; charset=utf-8");
    });
    auto answer = [this, record](const httplib::Request& request, httplib::Response& response) {
        record(request);
        std::lock_guard lock(mutex_);
        auto it = answers_.find(request.path);
        if (it == answers_.end()) {
            response.status = 404;
            response.set_content("{\"error\":{\"message\":\"unknown\"}}", "application/json");
            return;
        }
        response.status = it->second.second;
        response.set_content(it->second.first, "application/json");
    };
    server_.Get(R"(/(graph|method)/.*)", answer);
    // Form posts: each part is written down as "name=value\n" (files by their
    // file name and size).
    server_.Post(R"(/(graph|method)/.*)",
                 [answer](const httplib::Request& request, httplib::Response& response,
                          const httplib::ContentReader& reader) {
                     httplib::Request copy = request;
                     std::string current;
                     reader(
                         [&](const httplib::MultipartFormData& part) {
                             current = part.filename.empty() ? part.name : part.filename;
                             if (!copy.body.empty()) copy.body += "\n";
                             copy.body += current + "=";
                             return true;
                         },
                         [&](const char* data, size_t length) {
                             copy.body.append(data, length);
                             return true;
                         });
                     answer(copy, response);
                 });
    // The login host's cookie, and what a later request brings back of it.
    server_.Get("/cookie/set", [record](const httplib::Request& request, httplib::Response& response) {
        record(request);
        response.set_header("Set-Cookie", "session=abc; Path=/");
        response.set_content("set", "text/plain");
    });
    server_.Get("/cookie/show", [record](const httplib::Request& request, httplib::Response& response) {
        record(request);
        response.set_content(request.get_header_value("Cookie"), "text/plain");
    });
    server_.Get("/rating-check", [record](const httplib::Request& request, httplib::Response& response) {
        record(request);
        response.set_content("ok", "text/plain");
    });
    server_.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            response.status = 500;
            response.set_content(e.what(), "text/plain");
        }
    });
    port_ = server_.bind_to_any_port(address_);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

LoopbackSocialNetwork::~LoopbackSocialNetwork() {
    server_.stop();
    thread_.join();
}

std::string LoopbackSocialNetwork::url(const std::string& path) const {
    return "http://" + address_ + ":" + std::to_string(port_) + path;
}

SocialHosts LoopbackSocialNetwork::hosts() const {
    return {url("/dialog/"), url("/graph/"), url("/method/"), url("")};
}

void LoopbackSocialNetwork::answer(const std::string& path, std::string body, int status) {
    std::lock_guard lock(mutex_);
    answers_[path] = {std::move(body), status};
}

std::vector<SeenRequest> LoopbackSocialNetwork::requests() const {
    std::lock_guard lock(mutex_);
    return seen_;
}

size_t LoopbackSocialNetwork::count(const std::string& path) const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto& seen : seen_) n += seen.path == path;
    return n;
}

NetworkLoop::NetworkLoop() {
    loop.setWakeupHandler([this] {
        {
            std::lock_guard lock(mutex_);
            posted_ = true;
        }
        woken_.notify_all();
    });
    network = std::make_unique<http::NetworkThread>(loop);
}

NetworkLoop::~NetworkLoop() {
    network.reset();
    loop.runPending();
}

bool NetworkLoop::pumpUntil(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        loop.runPending();
        if (done()) return true;
        if (std::chrono::steady_clock::now() > limit) return false;
        std::unique_lock lock(mutex_);
        woken_.wait_for(lock, std::chrono::milliseconds(5), [this] { return posted_; });
        posted_ = false;
    }
}

}  // namespace strombel::info::test_support
