#pragma once

// A device opened afresh on another thread, as the sound server's client is,
// on a server the test controls: one that is away, refuses an open though it
// answers, keeps an open or a close waiting (as a hung server does), or lets
// each through. Every wait is bounded, so that a wait on the main thread makes
// the test fail instead of hang.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/devices/audio_device.h"
#include "platform/realtime.h"
#include "platform/thread_role.h"

namespace strombel::testing {

class AfreshAudioDevice final : public platform::AudioDevice {
public:
    struct Server {
        std::mutex mutex;
        std::condition_variable changed;
        bool answering = true;
        bool keepsOpensWaiting = false;
        bool keepsClosesWaiting = false;
        int refusals = 0;  // opens refused (while answering) before one goes through
        int opens = 0, closes = 0;
        std::thread::id openedOn, closedOn;
        AfreshAudioDevice* opened = nullptr;  // the last that opened, until it closes

        void set(bool answers, bool keepsOpensWaiting) {
            std::lock_guard lock(mutex);
            answering = answers;
            this->keepsOpensWaiting = keepsOpensWaiting;
            changed.notify_all();
        }
        void keepClosesWaiting(bool waiting) {
            std::lock_guard lock(mutex);
            keepsClosesWaiting = waiting;
            changed.notify_all();
        }
        /// Waits (five seconds at most) until `count` opens, or closes, have begun.
        bool waitForOpens(int count) { return waitFor(opens, count); }
        bool waitForCloses(int count) { return waitFor(closes, count); }
        int openCount() {
            std::lock_guard lock(mutex);
            return opens;
        }
        /// The threads the last open and the last close ran on.
        std::thread::id openedOnThread() {
            std::lock_guard lock(mutex);
            return openedOn;
        }
        std::thread::id closedOnThread() {
            std::lock_guard lock(mutex);
            return closedOn;
        }
        /// One buffer from the device that is open, as its audio thread would render it.
        bool render() {
            std::lock_guard lock(mutex);
            if (!opened || !opened->running_) return false;
            std::vector<int32_t> left(256), right(256);
            platform::RealtimeScope realtime;
            platform::ThreadRoleScope role(platform::ThreadRole::audio);
            opened->renderOutput(256, 0, left.data(), right.data());
            return true;
        }
        /// Reports the open device lost, as its server's notice of its end would.
        void lose(const std::string& reason) {
            std::lock_guard lock(mutex);
            if (!opened || !opened->events_) return;
            platform::AudioDeviceEvent event;
            event.type = platform::AudioDeviceEvent::Type::Lost;
            event.reason = reason;
            opened->events_(event);
        }

    private:
        bool waitFor(const int& counter, int count) {
            std::unique_lock lock(mutex);
            return changed.wait_for(lock, std::chrono::seconds(5), [&] { return counter >= count; });
        }
    };

    explicit AfreshAudioDevice(std::shared_ptr<Server> server) : server_(std::move(server)) {}
    ~AfreshAudioDevice() override { close(); }

    std::string name() const override { return "afresh"; }
    bool configure(const platform::AudioDeviceConfig& config) override {
        close();
        std::unique_lock lock(server_->mutex);
        server_->openedOn = std::this_thread::get_id();
        ++server_->opens;
        server_->changed.notify_all();
        server_->changed.wait_for(lock, std::chrono::seconds(3), [&] { return !server_->keepsOpensWaiting; });
        refused_ = server_->answering && server_->refusals > 0;
        if (refused_) --server_->refusals;
        open_ = server_->answering && !server_->keepsOpensWaiting && !refused_;
        error_ = open_ ? "" : server_->answering ? "the server refused the client" : "no server";
        duplex_ = config.duplex;
        if (open_) server_->opened = this;
        return open_;
    }
    bool start() override {
        std::lock_guard lock(server_->mutex);
        return running_ = open_;
    }
    bool stop() override {
        std::lock_guard lock(server_->mutex);
        running_ = false;
        return true;
    }
    bool running() const override { return running_; }
    void close() override {
        std::unique_lock lock(server_->mutex);
        if (!open_) return;
        server_->closedOn = std::this_thread::get_id();
        ++server_->closes;
        server_->changed.notify_all();
        server_->changed.wait_for(lock, std::chrono::seconds(3), [&] { return !server_->keepsClosesWaiting; });
        open_ = running_ = false;
        if (server_->opened == this) server_->opened = nullptr;
    }
    double sampleRate() const override { return 48000.0; }
    uint32_t bufferFrames() const override { return 256; }
    bool duplex() const override { return duplex_; }
    std::string lastError() const override { return error_; }
    bool mayOpenOnAnotherTry() const override { return refused_; }
    std::unique_ptr<platform::AudioDevice> makeAnother() const override {
        return std::make_unique<AfreshAudioDevice>(server_);
    }

private:
    std::shared_ptr<Server> server_;
    bool open_ = false, running_ = false, duplex_ = false, refused_ = false;
    std::string error_;
};

}  // namespace strombel::testing
