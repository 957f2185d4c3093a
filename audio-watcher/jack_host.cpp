// The JACK host. One long-lived client of the program's own ("veltrum-watch")
// lists the server's ports and hears from the server of every client and
// port that comes or goes, so that a listing never opens a client and a
// change is seen at once. Streams are clients of their own
// ("veltrum-input", "veltrum-output"); the connections of their ports are
// remembered, kept while a peer is away and restored when it returns or when
// the stream opens again on the same device.
//
// The server runs clients that do not depend on each other in any order, or
// at once, within a cycle. The two streams of a measurement are paired by
// counting their samples, so the input must run after the output in every
// cycle, whatever the user connects and when: otherwise a loop wired after
// the start leaves the microphone a cycle ahead of the reference, a lag that
// no delay search finds. A silent port of each ("sync", output to input)
// makes the input depend on the output.
#include <jack/jack.h>

#include <cerrno>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <fmt/format.h>

#include "audio-watcher/host.h"
#include "base/log.h"

namespace audio_watcher::host {

namespace {

constexpr const char* TARGET = "Veltrum::audio_watcher::jack";
constexpr const char* WATCH_CLIENT = "veltrum-watch";
constexpr const char* INPUT_CLIENT = "veltrum-input";
constexpr const char* OUTPUT_CLIENT = "veltrum-output";
constexpr const char* SYNC_PORT = "sync";
// Frames handed to a stream's callback at a time: the callbacks' buffer is
// made this large once, so the audio thread never allocates.
constexpr std::size_t CHUNK = 4096;

bool own_client(std::string_view name) {
    return name.starts_with(INPUT_CLIENT) || name.starts_with(OUTPUT_CLIENT) || name.starts_with(WATCH_CLIENT);
}

std::string client_of(std::string_view port) { return std::string(port.substr(0, port.find(':'))); }

// Opening and closing clients of this process one at a time: the JACK
// library cancels a closing client's notification thread, and one cancelled
// while it handles the arrival of another client of ours would leave the
// library's lock held.
std::recursive_mutex& client_mutex() {
    static std::recursive_mutex m;
    return m;
}

// The names of every port that a JACK string list holds; frees the list.
std::vector<std::string> take_names(const char** names) {
    std::vector<std::string> out;
    if (names == nullptr) return out;
    for (const char** p = names; *p != nullptr; ++p) out.emplace_back(*p);
    jack_free(static_cast<void*>(names));
    return out;
}

class JackStream;

// One audio port of the server as a listing sees it.
struct PortInfo {
    std::string name;  // full name, "client:port"
    bool is_input = false;
};

// The program's link to the server: the listing client, the change count,
// and the wiring memory of our streams' ports.
class Session {
public:
    static Session& get() {
        static Session* s = new Session();  // lives as long as the process, like its thread
        return *s;
    }

    // Every audio port in the server's order; fails when there is no server
    // to ask (never an empty list in its place).
    Expected<std::vector<PortInfo>> ports() {
        std::lock_guard clients(client_mutex());
        std::lock_guard lk(list_mu_);
        if (!ensure_client()) return fail(ErrorKind::HostUnavailable, "no JACK server");
        std::vector<PortInfo> out;
        for (std::string& name : take_names(jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE, 0))) {
            jack_port_t* p = jack_port_by_name(client_, name.c_str());
            if (p == nullptr) continue;  // gone since the list was made
            out.push_back(PortInfo{std::move(name), (jack_port_flags(p) & JackPortIsInput) != 0});
        }
        if (dead_.load()) return fail(ErrorKind::HostUnavailable, "the JACK server went away");
        return out;
    }

    jack_nframes_t rate() {
        std::lock_guard lk(list_mu_);
        return client_ != nullptr && !dead_.load() ? jack_get_sample_rate(client_) : 0;
    }

    bool connected() const { return client_open_.load() && !dead_.load(); }

    std::uint64_t changes() const { return generation_.load(); }

    std::uint64_t wait_for_change(std::uint64_t seen, std::chrono::milliseconds limit) {
        std::unique_lock lk(cb_mu_);
        cb_cv_.wait_for(lk, limit, [&] { return generation_.load() != seen; });
        return generation_.load();
    }

    // Something changed: a callback of the server (notification thread) or a
    // stream of ours whose server went away. Never blocks for long.
    void poke() {
        {
            std::lock_guard lk(cb_mu_);
            generation_.fetch_add(1);
        }
        cb_cv_.notify_all();
    }

    void registered(std::string name) {
        {
            std::lock_guard lk(cb_mu_);
            registered_.insert(std::move(name));
            generation_.fetch_add(1);
        }
        cb_cv_.notify_all();
    }

    // A stream has started: connect its ports, to the peers remembered from
    // its last run on the same device, or else the device's ports in order.
    void attach(JackStream* s);
    // A stream is about to close: its wiring is kept for the next run.
    void detach(JackStream* s);

private:
    Session() {
        // The JACK library's complaints (no server, a lost socket) go to the
        // log, not to the terminal: a machine without a server would
        // otherwise print them at every listing.
        jack_set_error_function([](const char* msg) { base::log::debug(TARGET, msg); });
        jack_set_info_function([](const char* msg) { base::log::debug(TARGET, msg); });
        worker_ = std::thread([this] { work(); });
        worker_.detach();
    }

    // Opens the listing client when there is none or its server went away;
    // a failed attempt is tried again at most once a second and logged once.
    bool ensure_client() {
        if (client_ != nullptr && !dead_.load()) return true;
        const auto now = std::chrono::steady_clock::now();
        if (client_ == nullptr && now - last_attempt_ < std::chrono::seconds(1)) return false;
        last_attempt_ = now;
        if (client_ != nullptr) {
            client_open_.store(false);
            jack_client_close(client_);  // after the server's shutdown, this releases what the library holds
            client_ = nullptr;
        }
        jack_status_t status{};
        jack_client_t* c = jack_client_open(WATCH_CLIENT, JackNoStartServer, &status);
        if (c == nullptr) {
            if (!open_failed_logged_) {
                base::log::debug(TARGET, "no JACK server to list ports", {{"status", fmt::format("{:#x}", static_cast<unsigned>(status))}});
                open_failed_logged_ = true;
            }
            return false;
        }
        open_failed_logged_ = false;
        dead_.store(false);
        jack_set_client_registration_callback(
            c, [](const char*, int, void* arg) { static_cast<Session*>(arg)->poke(); }, this);
        jack_set_port_registration_callback(
            c,
            [](jack_port_id_t id, int reg, void* arg) {
                auto* self = static_cast<Session*>(arg);
                jack_port_t* p = reg != 0 && self->client_ != nullptr ? jack_port_by_id(self->client_, id) : nullptr;
                if (p != nullptr) {
                    self->registered(jack_port_name(p));
                } else {
                    self->poke();
                }
            },
            this);
        jack_set_port_connect_callback(
            c, [](jack_port_id_t, jack_port_id_t, int, void* arg) { static_cast<Session*>(arg)->poke(); }, this);
        jack_on_info_shutdown(
            c,
            [](jack_status_t, const char*, void* arg) {
                auto* self = static_cast<Session*>(arg);
                self->dead_.store(true);
                self->poke();
            },
            this);
        client_ = c;
        if (jack_activate(c) != 0) {
            jack_client_close(c);
            client_ = nullptr;
            return false;
        }
        client_open_.store(true);
        poke();
        return true;
    }

    void work();
    void update(JackStream* s, const std::set<std::string>& returned);

    std::mutex list_mu_;  // the listing client
    jack_client_t* client_ = nullptr;
    std::atomic<bool> client_open_{false};
    std::atomic<bool> dead_{false};
    std::chrono::steady_clock::time_point last_attempt_{};
    bool open_failed_logged_ = false;

    std::mutex cb_mu_;  // taken by the server's callbacks, briefly
    std::condition_variable cb_cv_;
    std::atomic<std::uint64_t> generation_{0};
    std::set<std::string> registered_;  // ports that came since the last wiring pass

    // Wiring memory, by our client name as asked for and port name:
    // each peer port's full name and what is known of it.
    struct PeerState {
        bool away = false;
        // When its connection was first seen gone while its port was still
        // there: a peer that leaves is disconnected before its ports go, so
        // only a connection gone for a while was taken away on purpose.
        std::optional<std::chrono::steady_clock::time_point> unwired_since;
    };
    struct ClientMemory {
        std::string device;
        bool known = false;
        std::map<std::string, std::map<std::string, PeerState>> ports;
    };
    std::mutex mu_;  // memory and the live streams; held while connecting
    std::map<std::string, ClientMemory> memory_;
    std::vector<JackStream*> live_;
    bool unsure_ = false;  // some connection is gone but not yet forgotten

    std::thread worker_;
};

class JackStream final : public Stream {
public:
    JackStream(bool input, std::string device, std::size_t channels, InputCallback in, OutputCallback out,
               ErrorCallback err)
        : input_(input),
          device_(std::move(device)),
          channels_(channels),
          in_(std::move(in)),
          out_(std::move(out)),
          err_(std::move(err)) {}

    ~JackStream() override {
        if (attached_) Session::get().detach(this);
        std::lock_guard clients(client_mutex());
        if (client_ != nullptr) {
            // A client whose server went away is only closed: asking the dead
            // server to deactivate it is what must not happen.
            if (active_ && !dead_.load()) jack_deactivate(client_);
            jack_client_close(client_);
        }
    }

    Expected<void> open(std::uint32_t rate) {
        std::lock_guard clients(client_mutex());
        jack_status_t status{};
        client_ = jack_client_open(key(), JackNoStartServer, &status);
        if (client_ == nullptr) return fail(ErrorKind::DeviceNotAvailable, "cannot open a client of the JACK server");
        const jack_nframes_t server_rate = jack_get_sample_rate(client_);
        if (server_rate != rate)
            return fail(ErrorKind::UnsupportedConfig, fmt::format("the JACK server runs at {} Hz", server_rate));
        for (std::size_t i = 0; i < channels_; ++i) {
            const std::string name = fmt::format("{}port {}", input_ ? "in" : "out", i);
            jack_port_t* p = jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                                input_ ? JackPortIsInput : JackPortIsOutput, 0);
            if (p == nullptr) return fail(ErrorKind::ResourceExhausted, "cannot register a JACK port");
            ports_.push_back(p);
        }
        sync_ = jack_port_register(client_, SYNC_PORT, JACK_DEFAULT_AUDIO_TYPE, input_ ? JackPortIsInput : JackPortIsOutput, 0);
        if (sync_ == nullptr) return fail(ErrorKind::ResourceExhausted, "cannot register a JACK port");
        buffers_.assign(channels_, nullptr);
        interleaved_.assign(CHUNK * channels_, 0.0f);
        jack_set_process_callback(client_, &JackStream::process, this);
        jack_set_xrun_callback(client_, &JackStream::xrun, this);
        jack_on_info_shutdown(client_, &JackStream::shutdown, this);
        return {};
    }

    Expected<void> play() override {
        std::lock_guard clients(client_mutex());
        if (dead_.load()) return fail(ErrorKind::DeviceNotAvailable);
        if (!active_) {
            if (jack_activate(client_) != 0) return fail(ErrorKind::DeviceNotAvailable, "cannot activate the JACK client");
            active_ = true;
        }
        if (!attached_) {
            Session::get().attach(this);
            attached_ = true;
        }
        return {};
    }

    Expected<void> pause() override {
        if (attached_) {
            Session::get().detach(this);
            attached_ = false;
        }
        std::lock_guard clients(client_mutex());
        if (active_ && !dead_.load()) jack_deactivate(client_);
        active_ = false;
        return {};
    }

    const char* key() const { return input_ ? INPUT_CLIENT : OUTPUT_CLIENT; }

    // Reports a server that went away, once; called by the session's worker.
    void report_if_dead() {
        if (dead_.load() && !reported_.exchange(true) && err_)
            err_(AudioError{ErrorKind::DeviceNotAvailable, std::nullopt});
    }

    bool input_;
    std::string device_;
    std::size_t channels_;
    jack_client_t* client_ = nullptr;
    std::vector<jack_port_t*> ports_;  // the channels, in order
    jack_port_t* sync_ = nullptr;      // orders the input after the output; carries silence
    std::atomic<bool> dead_{false};

private:
    static int process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<JackStream*>(arg);
        const std::size_t c = self->channels_;
        for (std::size_t i = 0; i < c; ++i)
            self->buffers_[i] = static_cast<float*>(jack_port_get_buffer(self->ports_[i], frames));
        if (!self->input_) std::fill_n(static_cast<float*>(jack_port_get_buffer(self->sync_, frames)), frames, 0.0f);
        float* inter = self->interleaved_.data();
        for (std::size_t done = 0; done < frames;) {
            const std::size_t n = std::min<std::size_t>(CHUNK, frames - done);
            if (self->input_) {
                for (std::size_t f = 0; f < n; ++f)
                    for (std::size_t i = 0; i < c; ++i) inter[f * c + i] = self->buffers_[i][done + f];
                if (self->in_) self->in_(inter, n * c);
            } else {
                std::fill_n(inter, n * c, 0.0f);
                if (self->out_) self->out_(inter, n * c);
                for (std::size_t f = 0; f < n; ++f)
                    for (std::size_t i = 0; i < c; ++i) self->buffers_[i][done + f] = inter[f * c + i];
            }
            done += n;
        }
        return 0;
    }

    static int xrun(void* arg) {
        auto* self = static_cast<JackStream*>(arg);
        if (self->err_) self->err_(AudioError{ErrorKind::Xrun, std::nullopt});
        return 0;
    }

    // The server went away (or threw this client out). Only flags are set
    // here: the report is made by the session's worker, which a closing
    // stream waits for, never by this thread, which closing cancels.
    static void shutdown(jack_status_t, const char*, void* arg) {
        auto* self = static_cast<JackStream*>(arg);
        self->dead_.store(true);
        Session::get().poke();
    }

    InputCallback in_;
    OutputCallback out_;
    ErrorCallback err_;
    std::vector<float*> buffers_;
    std::vector<float> interleaved_;
    bool active_ = false;
    bool attached_ = false;
    std::atomic<bool> reported_{false};
};

// The connections of one of our ports, as full port names.
std::set<std::string> connections_of(jack_port_t* p) {
    auto names = take_names(jack_port_get_connections(p));
    return {names.begin(), names.end()};
}

void connect_ports(JackStream* s, jack_port_t* own, const std::string& peer) {
    const char* mine = jack_port_name(own);
    const int r = s->input_ ? jack_connect(s->client_, peer.c_str(), mine) : jack_connect(s->client_, mine, peer.c_str());
    if (r != 0 && r != EEXIST)
        base::log::debug(TARGET, "cannot connect", {{"port", mine}, {"peer", peer}});
}

void Session::attach(JackStream* s) {
    std::lock_guard lk(mu_);
    ClientMemory& m = memory_[s->key()];
    if (!m.known || m.device != s->device_) {
        // A first start on this device: its ports in order, as a new user expects.
        m = ClientMemory{s->device_, true, {}};
        std::vector<std::string> device_ports;
        for (std::string& name : take_names(jack_get_ports(s->client_, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                                           s->input_ ? JackPortIsOutput : JackPortIsInput)))
            if (client_of(name) == s->device_) device_ports.push_back(std::move(name));
        for (std::size_t i = 0; i < s->ports_.size() && i < device_ports.size(); ++i)
            connect_ports(s, s->ports_[i], device_ports[i]);
    } else {
        for (jack_port_t* p : s->ports_) {
            auto& peers = m.ports[jack_port_short_name(p)];
            for (auto it = peers.begin(); it != peers.end();) {
                auto& [peer, state] = *it;
                state.away = jack_port_by_name(s->client_, peer.c_str()) == nullptr;
                if (!state.away && state.unwired_since) {
                    it = peers.erase(it);  // its port stayed: the connection was taken away
                    continue;
                }
                state.unwired_since.reset();
                if (!state.away) connect_ports(s, p, peer);
                ++it;
            }
        }
    }
    // The input runs after every output of ours (see the top of the file).
    for (JackStream* other : live_) {
        if (other->input_ == s->input_ || other->dead_.load()) continue;
        JackStream* out = s->input_ ? other : s;
        JackStream* in = s->input_ ? s : other;
        const int r = jack_connect(s->client_, jack_port_name(out->sync_), jack_port_name(in->sync_));
        if (r != 0 && r != EEXIST) base::log::debug(TARGET, "cannot order the input after the output");
    }
    live_.push_back(s);
    update(s, {});
}

void Session::detach(JackStream* s) {
    std::lock_guard lk(mu_);
    if (!s->dead_.load()) update(s, {});
    std::erase(live_, s);
}

// Brings the memory of one live stream up to date with the server: a peer
// connected now is remembered; a remembered peer whose port is gone is kept
// as away; one that is away (or whose port came again since the last pass)
// and is back is connected again; one still there but no longer connected
// for UNWIRED_GRACE was disconnected on purpose and is forgotten.
constexpr std::chrono::milliseconds UNWIRED_GRACE{1000};

void Session::update(JackStream* s, const std::set<std::string>& returned) {
    ClientMemory& m = memory_[s->key()];
    const auto now_t = std::chrono::steady_clock::now();
    for (jack_port_t* p : s->ports_) {
        auto& peers = m.ports[jack_port_short_name(p)];
        const std::set<std::string> now = connections_of(p);
        for (const std::string& peer : now) peers[peer] = PeerState{};
        for (auto it = peers.begin(); it != peers.end();) {
            auto& [peer, state] = *it;
            if (now.contains(peer)) {
                ++it;
                continue;
            }
            if (jack_port_by_name(s->client_, peer.c_str()) == nullptr) {
                state = PeerState{true, std::nullopt};
                ++it;
            } else if (state.away || returned.contains(peer)) {
                connect_ports(s, p, peer);
                state = PeerState{};
                ++it;
            } else if (!state.unwired_since) {
                state.unwired_since = now_t;
                unsure_ = true;
                ++it;
            } else if (now_t - *state.unwired_since >= UNWIRED_GRACE) {
                it = peers.erase(it);
            } else {
                unsure_ = true;
                ++it;
            }
        }
    }
}

void Session::work() {
    std::uint64_t seen = generation_.load();
    bool recheck = false;
    for (;;) {
        {
            // A connection seen gone is looked at again after the grace.
            std::unique_lock lk(cb_mu_);
            if (recheck)
                cb_cv_.wait_for(lk, UNWIRED_GRACE, [&] { return generation_.load() != seen; });
            else
                cb_cv_.wait(lk, [&] { return generation_.load() != seen; });
        }
        // Let a burst settle: a client's ports come and go one by one.
        for (int i = 0; i < 20; ++i) {
            seen = generation_.load();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (generation_.load() == seen) break;
        }
        std::set<std::string> returned;
        {
            std::lock_guard lk(cb_mu_);
            returned.swap(registered_);
        }
        std::lock_guard lk(mu_);
        unsure_ = false;
        for (JackStream* s : live_) {
            s->report_if_dead();
            if (!s->dead_.load()) update(s, returned);
        }
        recheck = unsure_;
    }
}

// ---------------------------------------------------------------------------

class JackDevice final : public Device {
public:
    JackDevice(std::string name, std::uint16_t capture, std::uint16_t playback, std::uint32_t rate)
        : name_(std::move(name)), capture_(capture), playback_(playback), rate_(rate) {}

    Expected<std::string> id_text() const override { return name_; }
    Expected<Description> description() const override { return Description{name_, std::nullopt}; }
    bool supports_input() const override { return capture_ > 0; }
    bool supports_output() const override { return playback_ > 0; }

    // JACK runs one rate, the server's, in 32-bit float.
    Expected<std::vector<SupportedRange>> supported_configs(bool input) const override {
        std::vector<SupportedRange> out;
        const std::uint16_t ch = input ? capture_ : playback_;
        if (ch > 0 && rate_ > 0) out.push_back(SupportedRange{std::nullopt, rate_, rate_, ch, SampleFormat::F32});
        return out;
    }

    Expected<StreamConfig> default_config(bool input) const override {
        const std::uint16_t ch = input ? capture_ : playback_;
        if (ch == 0 || rate_ == 0) return fail(ErrorKind::UnsupportedConfig, "device has no default configuration");
        return StreamConfig{std::nullopt, ch, SampleFormat::F32, rate_};
    }

    Expected<StreamHandle> build_input_stream(const StreamConfig& config, InputCallback data,
                                              ErrorCallback error) override {
        return build(true, config, std::move(data), nullptr, std::move(error));
    }

    Expected<StreamHandle> build_output_stream(const StreamConfig& config, OutputCallback data,
                                               ErrorCallback error) override {
        return build(false, config, nullptr, std::move(data), std::move(error));
    }

private:
    Expected<StreamHandle> build(bool input, const StreamConfig& config, InputCallback in, OutputCallback out,
                                 ErrorCallback err) {
        if (config.format != SampleFormat::F32) return fail(ErrorKind::UnsupportedConfig);
        if (config.channels == 0) return fail(ErrorKind::InvalidArgument);
        auto s = std::make_unique<JackStream>(input, name_, config.channels, std::move(in), std::move(out),
                                              std::move(err));
        if (auto r = s->open(config.rate); !r) return std::unexpected(r.error());
        return StreamHandle(std::move(s));
    }

    std::string name_;
    std::uint16_t capture_;
    std::uint16_t playback_;
    std::uint32_t rate_;
};

class JackHost final : public Host {
public:
    std::string name() const override { return "JACK"; }
    std::string id_prefix() const override { return "jack:"; }

    // The server's clients that have audio ports, in the order of their
    // first port; a client's output ports are what it can record from.
    Expected<std::vector<DeviceHandle>> devices() override {
        Session& session = Session::get();
        auto ports = session.ports();
        if (!ports) return std::unexpected(ports.error());
        const auto rate = static_cast<std::uint32_t>(session.rate());
        std::vector<std::string> order;
        std::map<std::string, std::pair<std::uint16_t, std::uint16_t>> counts;  // capture, playback
        for (const PortInfo& p : *ports) {
            const std::string client = client_of(p.name);
            if (own_client(client)) continue;
            auto [it, fresh] = counts.try_emplace(client, 0, 0);
            if (fresh) order.push_back(client);
            auto& n = p.is_input ? it->second.second : it->second.first;
            if (n < 65535) ++n;
        }
        std::vector<DeviceHandle> out;
        for (const std::string& client : order) {
            const auto [capture, playback] = counts[client];
            out.push_back(std::make_shared<JackDevice>(client, capture, playback, rate));
        }
        return out;
    }

    DeviceHandle default_input_device() override { return first(true); }
    DeviceHandle default_output_device() override { return first(false); }

    bool notifies_changes() const override { return Session::get().connected(); }
    std::uint64_t changes() const override { return Session::get().changes(); }
    std::uint64_t wait_for_change(std::uint64_t seen, std::chrono::milliseconds limit) override {
        return Session::get().wait_for_change(seen, limit);
    }

private:
    DeviceHandle first(bool input) {
        auto list = devices();
        if (!list) return nullptr;
        for (const DeviceHandle& d : *list)
            if (input ? d->supports_input() : d->supports_output()) return d;
        return nullptr;
    }
};

}  // namespace

HostHandle make_jack_host() { return std::make_shared<JackHost>(); }

}  // namespace audio_watcher::host
