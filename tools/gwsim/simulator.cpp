// The simulated device: one listener, one connection at a time, all network
// work on one thread running an io_context.
#include "tools/gwsim/simulator.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <future>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include <asio.hpp>

namespace gwsim {

namespace {

using asio::ip::tcp;
namespace fs = std::filesystem;

const uint32_t kMaxRequestPayload = 64 * 1024;  // larger declared payloads are refused
const int kListenBacklog = 8;
const int kDefaultSplitPauseMs = 20;
const int kDefaultGarbagePauseMs = 1000;
const int kFillerConnectWaitMs = 200;  // a filler connection not done by then: queue full
const size_t kMaxFillers = 16;
const int kRebindRetryMs = 100;
const int kMaxHangAttempts = 10;  // listener opens, or failed filler connections, per hang fault

uint32_t Get32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

void Put32(std::vector<uint8_t>* out, uint32_t v) {
    out->push_back(uint8_t(v >> 24));
    out->push_back(uint8_t(v >> 16));
    out->push_back(uint8_t(v >> 8));
    out->push_back(uint8_t(v));
}

// A reply frame with `declared` as data length (normally data.size()).
std::vector<uint8_t> ReplyFrame(uint8_t kind, uint32_t sequence, uint32_t status,
                                const std::vector<uint8_t>& data, uint32_t declared) {
    std::vector<uint8_t> f = {kMagic0, kMagic1, kProtocolVersion, uint8_t(kind | kReplyBit)};
    Put32(&f, sequence);
    Put32(&f, status);
    Put32(&f, declared);
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

std::vector<uint8_t> Bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

std::string Hex32(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", v);
    return b;
}

std::string Printable(const std::vector<uint8_t>& data, size_t limit = 80) {
    std::string s = "\"";
    for (size_t i = 0; i < data.size() && i < limit; ++i) {
        uint8_t c = data[i];
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            s += char(c);
        } else {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02X", c);
            s += b;
        }
    }
    s += "\"";
    if (data.size() > limit)
        s += "...";
    return s;
}

// The zero-terminated text at the start of a payload.
std::string TextOf(const std::vector<uint8_t>& payload) {
    auto zero = std::find(payload.begin(), payload.end(), uint8_t(0));
    return std::string(payload.begin(), zero);
}

// The last decimal number in a text (0 when there is none).
uint32_t LastNumber(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && !std::isdigit(static_cast<unsigned char>(text[end - 1])))
        --end;
    size_t begin = end;
    while (begin > 0 && std::isdigit(static_cast<unsigned char>(text[begin - 1])))
        --begin;
    uint32_t v = 0;
    for (size_t i = begin; i < end; ++i)
        v = v * 10 + uint32_t(text[i] - '0');
    return v;
}

struct Action {
    enum Type { Write, Wait, Close } type;
    std::vector<uint8_t> bytes;  // Write
    int ms = 0;                  // Wait
    std::string why;             // Close
    bool reboot = false;         // Close: the device reboots after it
};

}  // namespace

// ---------------------------------------------------------------------------

class Connection;

class Simulator::Impl {
public:
    Impl(DeviceState s, Options o) : options(std::move(o)), family(s.family), state(std::move(s)) {
        port = options.port != 0 ? options.port : DefaultPort(family);
    }

    // ---- configuration (fixed after construction) ----
    Options options;
    Family family;
    uint16_t port;

    // ---- shared, guarded by mu ----
    mutable std::mutex mu;
    DeviceState state;
    std::vector<RecordedRequest> requests;
    std::vector<Event> events;
    std::vector<Fault> faults;
    ConnectionFault connection_fault = ConnectionFault::None;
    size_t resets = 0;
    size_t connections = 0;
    bool listening = false;
    bool running = false;
    bool started_once = false;

    std::mutex wait_mu;
    std::condition_variable wait_cv;
    uint64_t generation = 0;

    std::mutex log_mu;

    // ---- io thread only (or before the thread starts / after it ended) ----
    asio::io_context io;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    tcp::endpoint endpoint;
    tcp::acceptor acceptor{io};
    asio::steady_timer reboot_timer{io};
    asio::steady_timer filler_timer{io};
    std::vector<std::unique_ptr<tcp::socket>> fillers;
    std::shared_ptr<Connection> current;
    bool accepting = false;
    bool rebooting = false;
    ConnectionFault applied_fault = ConnectionFault::None;
    std::vector<uint8_t> last_reply;  // the last complete reply frame sent
    uint64_t fault_epoch = 0;         // invalidates pending filler steps
    std::thread thread;

    void Notify() {
        {
            std::lock_guard<std::mutex> lk(wait_mu);
            ++generation;
        }
        wait_cv.notify_all();
    }

    void Log(const std::string& line) {
        if (!options.verbose)
            return;
        std::lock_guard<std::mutex> lk(log_mu);
        std::string text =
            std::string("gwsim ") + FamilyName(family) + " " + endpoint_text() + ": " + line;
        if (options.log) {
            options.log(text);
        } else {
            std::cerr << text << std::endl;
        }
    }

    std::string endpoint_text() const { return options.bind_address + ":" + std::to_string(port); }

    void AddEvent(EventType type, size_t connection, const std::string& detail) {
        {
            std::lock_guard<std::mutex> lk(mu);
            events.push_back(Event{type, connection, detail});
        }
        Log(std::string("event ") + EventTypeName(type) +
            (connection ? " conn " + std::to_string(connection) : std::string()) +
            (detail.empty() ? std::string() : ": " + detail));
        Notify();
    }

    void SetListening(bool on, const std::string& why) {
        {
            std::lock_guard<std::mutex> lk(mu);
            if (listening == on)
                return;
            listening = on;
        }
        AddEvent(on ? EventType::Listening : EventType::NotListening, 0, why);
    }

    std::string SoftwareDir() const {
        std::string dir = options.software_dir;
        if (dir.empty()) {
            const char* env = std::getenv("GATEWAY_SOFTWARE_DIR");
            if (env && *env) {
                dir = env;
            } else {
                std::error_code ec;
                fs::path temp = fs::temp_directory_path(ec);
                dir = ((ec ? fs::path(".") : temp) / "gateway_software").string();
            }
        }
        std::replace(dir.begin(), dir.end(), '\\', '/');
        return dir;
    }

    // A path sent by the PC: backslashes become '/', a relative path is taken
    // in the software directory.
    std::string DevicePath(std::string path) const {
        std::replace(path.begin(), path.end(), '\\', '/');
        if (!path.empty() && !fs::path(path).is_absolute())
            path = SoftwareDir() + "/" + path;
        return path;
    }

    // ---- listener ----
    asio::error_code OpenListener(int backlog) {
        asio::error_code ec;
        acceptor.close(ec);
        ec.clear();
        acceptor.open(endpoint.protocol(), ec);
        if (!ec)
            acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
        if (!ec)
            acceptor.bind(endpoint, ec);
        if (!ec)
            acceptor.listen(backlog, ec);
        if (ec) {
            asio::error_code ignored;
            acceptor.close(ignored);
        }
        return ec;
    }

    void CloseListener() {
        asio::error_code ec;
        acceptor.close(ec);
        accepting = false;
    }

    void StartAccept();
    void OnConnectionClosed(bool reboot);
    void EndReboot();
    void ApplyConnectionFault(ConnectionFault fault, std::function<void()> done);
    void OpenHangListener(uint64_t epoch, int attempt, std::function<void()> done);
    void AddFiller(uint64_t epoch, int failures, std::function<void()> done);
    void ReopenNormal();

    // ---- request handling ----
    struct Outcome {
        uint32_t status = kStatusUnsupported;
        std::vector<uint8_t> data;
        bool reset = false;  // close and reboot after the answer
    };
    Outcome Execute(const RecordedRequest& r);
    Outcome ExecuteZel(const RecordedRequest& r);
    Outcome ExecuteMir(const RecordedRequest& r);
    std::string TakeStagedImages();
    std::vector<Action> Respond(const RecordedRequest& r, size_t connection);
};

// ---------------------------------------------------------------------------

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(Simulator::Impl& impl, tcp::socket socket, size_t index)
        : impl_(impl),
          socket_(std::move(socket)),
          index_(index),
          timer_(impl.io),
          idle_timer_(impl.io) {}

    void Start() { Read(); }

    // Ends the connection without a word, when the simulator stops.
    void Abort() {
        closed_ = true;
        asio::error_code ec;
        socket_.close(ec);
    }

    void Close(const std::string& why, bool reboot = false) {
        if (closed_)
            return;
        closed_ = true;
        asio::error_code ec;
        socket_.shutdown(tcp::socket::shutdown_both, ec);
        socket_.close(ec);
        timer_.cancel();
        idle_timer_.cancel();
        impl_.AddEvent(EventType::Close, index_, why);
        impl_.OnConnectionClosed(reboot);
    }

private:
    void Read() {
        auto self = shared_from_this();
        socket_.async_read_some(asio::buffer(rbuf_), [this, self](asio::error_code ec, size_t n) {
            if (closed_)
                return;
            if (ec) {
                eof_ = true;
            } else {
                in_.insert(in_.end(), rbuf_.begin(), rbuf_.begin() + long(n));
            }
            Process();
            if (!closed_ && !eof_)
                Read();
        });
    }

    void Malformed(const std::string& what) { impl_.AddEvent(EventType::Malformed, index_, what); }

    void ArmIdleTimer() {
        auto self = shared_from_this();
        idle_timer_.expires_after(
            std::chrono::milliseconds(impl_.options.incomplete_frame_timeout_ms));
        idle_timer_.async_wait([this, self](asio::error_code ec) {
            if (ec || closed_ || busy_ || in_.empty())
                return;
            Malformed("incomplete frame timed out");
            Close("incomplete frame");
        });
    }

    // Serve the complete frames waiting, one at a time.
    void Process() {
        while (!busy_ && !closed_) {
            if (in_.empty()) {
                idle_timer_.cancel();
                if (eof_)
                    Close("closed by peer");
                return;
            }
            if (in_[0] != kMagic0 || (in_.size() > 1 && in_[1] != kMagic1)) {
                Malformed("bad magic");
                Close("bad magic");
                return;
            }
            if (in_.size() < kRequestHeaderSize) {
                if (eof_) {
                    Malformed("truncated header");
                    Close("truncated header");
                } else {
                    ArmIdleTimer();
                }
                return;
            }
            const uint8_t* h = in_.data();
            uint8_t version = h[2];
            uint8_t kind = h[3];
            uint32_t sequence = Get32(h + 4);
            uint32_t length = Get32(h + 20);
            if (version != kProtocolVersion || length > kMaxRequestPayload) {
                std::string what = version != kProtocolVersion
                                       ? "protocol version " + std::to_string(version)
                                       : "payload length " + std::to_string(length);
                Malformed(what);
                busy_ = true;
                actions_.push_back(Action{
                    Action::Write, ReplyFrame(kind, sequence, kStatusUnsupported, {}, 0), 0, ""});
                actions_.push_back(Action{Action::Close, {}, 0, what});
                in_.clear();
                Run();
                return;
            }
            if (in_.size() < kRequestHeaderSize + length) {
                if (eof_) {
                    Malformed("truncated payload");
                    Close("truncated payload");
                } else {
                    ArmIdleTimer();
                }
                return;
            }
            idle_timer_.cancel();
            RecordedRequest r;
            r.connection = index_;
            r.kind = kind;
            r.sequence = sequence;
            r.code = Get32(h + 8);
            r.qualifier = Get32(h + 12);
            r.room = Get32(h + 16);
            r.payload.assign(in_.begin() + kRequestHeaderSize,
                             in_.begin() + long(kRequestHeaderSize + length));
            in_.erase(in_.begin(), in_.begin() + long(kRequestHeaderSize + length));
            busy_ = true;
            std::vector<Action> actions = impl_.Respond(r, index_);
            actions_.insert(actions_.end(), actions.begin(), actions.end());
            Run();
        }
    }

    // Carry out the queued actions of the current request, then go on.
    void Run() {
        if (closed_)
            return;
        if (actions_.empty()) {
            busy_ = false;
            Process();
            return;
        }
        Action a = std::move(actions_.front());
        actions_.pop_front();
        auto self = shared_from_this();
        switch (a.type) {
            case Action::Write:
                out_ = std::move(a.bytes);
                asio::async_write(socket_, asio::buffer(out_),
                                  [this, self](asio::error_code ec, size_t) {
                                      if (closed_)
                                          return;
                                      if (ec) {
                                          Close("write failed: " + ec.message());
                                          return;
                                      }
                                      Run();
                                  });
                break;
            case Action::Wait:
                timer_.expires_after(std::chrono::milliseconds(a.ms));
                timer_.async_wait([this, self](asio::error_code ec) {
                    if (ec || closed_)
                        return;
                    Run();
                });
                break;
            case Action::Close:
                Close(a.why, a.reboot);
                break;
        }
    }

    Simulator::Impl& impl_;
    tcp::socket socket_;
    size_t index_;
    asio::steady_timer timer_;
    asio::steady_timer idle_timer_;
    std::array<uint8_t, 4096> rbuf_{};
    std::vector<uint8_t> in_;
    std::vector<uint8_t> out_;
    std::deque<Action> actions_;
    bool closed_ = false;
    bool eof_ = false;
    bool busy_ = false;
};

// ---------------------------------------------------------------------------

void Simulator::Impl::StartAccept() {
    if (accepting || current || rebooting || applied_fault != ConnectionFault::None ||
        !acceptor.is_open())
        return;
    accepting = true;
    acceptor.async_accept([this](asio::error_code ec, tcp::socket socket) {
        accepting = false;
        if (ec == asio::error::operation_aborted)
            return;
        if (ec) {
            // Transient accept failures (e.g. out of descriptors): try again shortly.
            reboot_timer.expires_after(std::chrono::milliseconds(kRebindRetryMs));
            reboot_timer.async_wait([this](asio::error_code e) {
                if (!e)
                    StartAccept();
            });
            return;
        }
        if (current || rebooting || applied_fault != ConnectionFault::None) {
            asio::error_code ignored;
            socket.close(ignored);
            return;
        }
        asio::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        size_t index;
        {
            std::lock_guard<std::mutex> lk(mu);
            index = ++connections;
        }
        std::string peer;
        auto remote = socket.remote_endpoint(ignored);
        if (!ignored)
            peer = remote.address().to_string() + ":" + std::to_string(remote.port());
        current = std::make_shared<Connection>(*this, std::move(socket), index);
        AddEvent(EventType::Connect, index, peer);
        current->Start();
    });
}

void Simulator::Impl::OnConnectionClosed(bool reboot) {
    // Drop the connection once its handlers have unwound.
    asio::post(io, [this, reboot] {
        current.reset();
        uint32_t reboot_ms;
        {
            std::lock_guard<std::mutex> lk(mu);
            reboot_ms = state.reboot_ms;
        }
        if (reboot && reboot_ms > 0) {
            rebooting = true;
            CloseListener();
            SetListening(false, "rebooting for " + std::to_string(reboot_ms) + " ms");
            reboot_timer.expires_after(std::chrono::milliseconds(reboot_ms));
            reboot_timer.async_wait([this](asio::error_code ec) {
                if (!ec)
                    EndReboot();
            });
            return;
        }
        StartAccept();
    });
}

void Simulator::Impl::EndReboot() {
    if (applied_fault != ConnectionFault::None) {
        // The connection fault decides what the listener does; it takes over.
        rebooting = false;
        return;
    }
    asio::error_code ec = OpenListener(kListenBacklog);
    if (ec) {
        AddEvent(EventType::NotListening, 0, "cannot listen again: " + ec.message());
        reboot_timer.expires_after(std::chrono::milliseconds(kRebindRetryMs));
        reboot_timer.async_wait([this](asio::error_code e) {
            if (!e)
                EndReboot();
        });
        return;
    }
    rebooting = false;
    SetListening(true, "rebooted");
    StartAccept();
}

void Simulator::Impl::ReopenNormal() {
    if (rebooting)
        return;  // the reboot reopens it
    asio::error_code ec = OpenListener(kListenBacklog);
    if (ec) {
        AddEvent(EventType::NotListening, 0, "cannot listen again: " + ec.message());
        reboot_timer.expires_after(std::chrono::milliseconds(kRebindRetryMs));
        reboot_timer.async_wait([this](asio::error_code e) {
            if (!e && applied_fault == ConnectionFault::None)
                ReopenNormal();
        });
        return;
    }
    SetListening(true, "connection fault cleared");
    StartAccept();
}

void Simulator::Impl::ApplyConnectionFault(ConnectionFault fault, std::function<void()> done) {
    ++fault_epoch;
    filler_timer.cancel();
    for (auto& f : fillers) {
        asio::error_code ec;
        f->close(ec);
    }
    fillers.clear();
    applied_fault = fault;
    if (fault == ConnectionFault::None) {
        CloseListener();
        ReopenNormal();
        done();
        return;
    }
    CloseListener();
    if (fault == ConnectionFault::Refuse) {
        SetListening(false, "refusing connections");
        done();
        return;
    }
    OpenHangListener(fault_epoch, 0, std::move(done));
}

// Never complete: a listener with backlog 0 whose accept queue is filled by
// connections to itself that are never accepted; later SYNs are dropped. A
// listener that cannot open at once (the address still held by the one just
// closed) is tried again, as a reboot does.
void Simulator::Impl::OpenHangListener(uint64_t epoch, int attempt, std::function<void()> done) {
    if (epoch != fault_epoch) {
        done();
        return;
    }
    asio::error_code ec = OpenListener(0);
    if (ec) {
        AddEvent(EventType::NotListening, 0, "cannot listen for the hang fault: " + ec.message());
        if (attempt + 1 >= kMaxHangAttempts) {
            done();
            return;
        }
        auto shared_done = std::make_shared<std::function<void()>>(std::move(done));
        filler_timer.expires_after(std::chrono::milliseconds(kRebindRetryMs));
        filler_timer.async_wait([this, epoch, attempt, shared_done](asio::error_code e) {
            if (e)
                (*shared_done)();
            else
                OpenHangListener(epoch, attempt + 1, std::move(*shared_done));
        });
        return;
    }
    SetListening(false, "connections hang");
    AddFiller(epoch, 0, std::move(done));
}

void Simulator::Impl::AddFiller(uint64_t epoch, int failures, std::function<void()> done) {
    if (epoch != fault_epoch) {
        done();
        return;
    }
    if (fillers.size() >= kMaxFillers) {
        done();
        return;
    }
    fillers.push_back(std::make_unique<tcp::socket>(io));
    tcp::socket& s = *fillers.back();
    auto finished = std::make_shared<bool>(false);
    auto shared_done = std::make_shared<std::function<void()>>(std::move(done));
    s.async_connect(endpoint, [this, epoch, failures, finished, shared_done](asio::error_code ec) {
        if (*finished)
            return;
        *finished = true;
        filler_timer.cancel();
        if (epoch != fault_epoch) {
            (*shared_done)();
            return;
        }
        if (ec) {
            // A filler that fails proves nothing about the queue: another one
            // tries, a bounded number of times.
            AddEvent(EventType::NotListening, 0,
                     "hang fault: filler connection failed: " + ec.message());
            fillers.pop_back();
            if (failures + 1 >= kMaxHangAttempts) {
                (*shared_done)();
                return;
            }
            AddFiller(epoch, failures + 1, std::move(*shared_done));
            return;
        }
        AddFiller(epoch, failures, std::move(*shared_done));  // there was room: fill more
    });
    filler_timer.expires_after(std::chrono::milliseconds(kFillerConnectWaitMs));
    filler_timer.async_wait([finished, shared_done](asio::error_code ec) {
        if (ec || *finished)
            return;
        *finished = true;  // this one hangs: the queue is full
        (*shared_done)();
    });
}

// ---------------------------------------------------------------------------

std::string Simulator::Impl::TakeStagedImages() {
    // Called with mu held.
    std::string dir = SoftwareDir();
    std::string taken;
    auto note = [&taken](const std::string& s) {
        if (!taken.empty())
            taken += ", ";
        taken += s;
    };
    static const char* kZel[] = {"lc", "prom", "bootstrap", "cpld", "mac", "r318"};
    static const char* kMir[] = {"lc"};
    const char* prefix = family == Family::MIR ? "sollum_" : "tarvik_";
    std::vector<std::string> components;
    if (family == Family::MIR) {
        components.assign(std::begin(kMir), std::end(kMir));
    } else {
        components.assign(std::begin(kZel), std::end(kZel));
    }
    for (const std::string& c : components) {
        std::string path = dir + "/" + prefix + c + ".load";
        std::error_code ec;
        if (!fs::is_regular_file(path, ec))
            continue;
        std::string release;
        bool has = ReadReleaseFromFile(path, &release);
        fs::remove(path, ec);
        if (!has) {
            note(c + ": no release");
            continue;
        }
        if (c == "lc") {
            state.lc_release = release;
        } else if (c == "prom") {
            state.prom_release = release;
        } else if (c == "bootstrap") {
            state.bootstrap_release = release;
        } else if (c == "cpld") {
            if (release.find("STANDARD") != std::string::npos) {
                state.cpld_custom = false;
            } else {
                state.cpld_custom = true;
                state.cpld_revision = LastNumber(release);
            }
        } else if (c == "mac" || c == "r318") {
            CableType type = c == "mac" ? CableType::Mac : CableType::R318;
            if (state.cable != type) {
                note(c + ": no such cable attached");
                continue;
            }
            state.cable_version = release;
        }
        note(c + "=" + release);
    }
    return taken;
}

Simulator::Impl::Outcome Simulator::Impl::ExecuteZel(const RecordedRequest& r) {
    // Called with mu held.
    Outcome o;
    if (r.kind == kKindDeviceReset) {
        if (r.code == kZelResetCode) {
            o.status = kStatusOk;
            o.reset = true;
        }
        return o;
    }
    if (r.kind != kKindDeviceCommand)
        return o;
    auto text = [&o](const std::string& s) {
        o.status = kStatusOk;
        o.data = Bytes(s);
    };
    switch (r.code) {
        case kZelGetLcRelease:
            text(state.lc_release);
            break;
        case kZelGetPromRelease:
            text(state.prom_release);
            break;
        case kZelGetBootstrapRelease:
            text(state.bootstrap_release);
            break;
        case kZelGetCpldRevision:
            if (state.cpld_custom) {
                o.status = kStatusOk;
                Put32(&o.data, state.cpld_revision);
            } else {
                o.status = kStatusStandardCpld;
            }
            break;
        case kZelGetCableVersion:
            if (state.cable != CableType::None)
                text(state.cable_version);
            break;
        case kZelGetSerialNumber:
            text(state.serial_number);
            break;
        case kZelGetMacAddress:
            if (r.qualifier == kZelMacEthernet) {
                text(state.mac_address);
            } else if (r.qualifier == kZelMacUsb) {
                text(state.usb_mac_address);
            }
            break;
        case kZelRequestSerialNumber:
            o.status = kStatusOk;
            break;
        case kZelSerialNumberText:
            state.pc_serial_text = TextOf(r.payload);
            o.status = kStatusOk;
            break;
        case kZelUpdateCable: {
            std::string path = DevicePath(TextOf(r.payload));
            std::string release;
            if (state.cable == CableType::None || !ReadReleaseFromFile(path, &release)) {
                o.status = kStatusNoRelease;
            } else {
                state.cable_version = release;
                o.status = kStatusOk;
            }
            break;
        }
        default:
            break;
    }
    return o;
}

Simulator::Impl::Outcome Simulator::Impl::ExecuteMir(const RecordedRequest& r) {
    // Called with mu held.
    Outcome o;
    if (r.kind == kKindMeasurementReset) {
        if (r.code == kMirResetCode) {
            o.status = kStatusOk;
            o.reset = true;
        }
        return o;
    }
    if (r.kind != kKindMeasurementCommand)
        return o;
    auto text = [&o](const std::string& s) {
        o.status = kStatusOk;
        o.data = Bytes(s);
    };
    switch (r.code) {
        case kMirGetSerialNumber:
            text(state.serial_number);
            break;
        case kMirGetLcRelease:
            text(state.lc_release);
            break;
        case kMirGetPromRelease:
            text(state.prom_release);
            break;
        case kMirUpdateProm: {
            std::string release;
            if (ReadReleaseFromFile(DevicePath(TextOf(r.payload)), &release)) {
                state.prom_release = release;
                o.status = kStatusOk;
            } else {
                o.status = kStatusNoRelease;
            }
            break;
        }
        default:
            break;
    }
    return o;
}

Simulator::Impl::Outcome Simulator::Impl::Execute(const RecordedRequest& r) {
    // Called with mu held.
    return family == Family::MIR ? ExecuteMir(r) : ExecuteZel(r);
}

std::vector<Action> Simulator::Impl::Respond(const RecordedRequest& r, size_t connection) {
    Log("conn " + std::to_string(connection) + " request kind=" + Hex32(r.kind).substr(8) +
        " seq=" + std::to_string(r.sequence) + " code=" + Hex32(r.code) +
        " qualifier=" + Hex32(r.qualifier) + " room=" + std::to_string(r.room) +
        " payload=" + Printable(r.payload));

    bool known_kind = r.kind == kKindDeviceCommand || r.kind == kKindDeviceReset ||
                      r.kind == kKindMeasurementCommand || r.kind == kKindMeasurementReset;
    if (!known_kind)
        AddEvent(EventType::Malformed, connection, "unknown kind " + Hex32(r.kind));

    std::optional<Fault> fault;
    Outcome o;
    std::string effect;
    std::vector<uint8_t> previous = last_reply;
    {
        std::lock_guard<std::mutex> lk(mu);
        requests.push_back(r);
        for (Fault& f : faults) {
            if (f.times == 0)
                continue;
            if (f.code && *f.code != r.code)
                continue;
            if (f.qualifier && *f.qualifier != r.qualifier)
                continue;
            if (f.request_kind && *f.request_kind != r.kind)
                continue;
            if (f.times > 0)
                --f.times;
            fault = f;
            break;
        }
        bool executes =
            !fault || (fault->kind != FaultKind::Status && fault->kind != FaultKind::NoReply);
        if (executes) {
            DeviceState before = state;
            o = Execute(r);
            if (o.reset) {
                ++resets;
                effect = TakeStagedImages();
            } else if (state.cable_version != before.cable_version) {
                effect = "active cable takes " + state.cable_version;
            } else if (state.prom_release != before.prom_release) {
                effect = "PROM takes " + state.prom_release;
            }
        }
    }
    Notify();
    if (o.reset)
        AddEvent(EventType::Reset, connection, effect);
    else if (!effect.empty())
        AddEvent(EventType::Update, connection, effect);

    static const char* kFaultNames[] = {"status",  "noreply",  "split",   "late",
                                        "garbage", "oversize", "closemid"};
    if (fault)
        AddEvent(EventType::Fault, connection, kFaultNames[int(fault->kind)]);

    std::vector<Action> actions;
    auto write = [&actions](std::vector<uint8_t> bytes) {
        actions.push_back(Action{Action::Write, std::move(bytes), 0, ""});
    };
    auto wait = [&actions](int ms) {
        if (ms > 0)
            actions.push_back(Action{Action::Wait, {}, ms, ""});
    };
    std::vector<uint8_t> frame =
        ReplyFrame(r.kind, r.sequence, o.status, o.data, uint32_t(o.data.size()));
    FaultKind kind = fault ? fault->kind : FaultKind::Status;
    bool send_real = true;
    if (!fault) {
        write(frame);
    } else {
        switch (kind) {
            case FaultKind::Status: {
                std::vector<uint8_t> data = fault->data ? *fault->data : std::vector<uint8_t>();
                frame = ReplyFrame(r.kind, r.sequence, fault->status, data, uint32_t(data.size()));
                write(frame);
                break;
            }
            case FaultKind::NoReply:
                send_real = false;
                break;
            case FaultKind::Split: {
                size_t size = std::max<size_t>(1, fault->segment_size);
                int pause = fault->pause_ms >= 0 ? fault->pause_ms : kDefaultSplitPauseMs;
                for (size_t at = 0; at < frame.size(); at += size) {
                    if (at > 0)
                        wait(pause);
                    size_t n = std::min(size, frame.size() - at);
                    write(std::vector<uint8_t>(frame.begin() + long(at),
                                               frame.begin() + long(at + n)));
                }
                break;
            }
            case FaultKind::LateReplyFirst: {
                std::vector<uint8_t> late = previous;
                if (late.size() < kReplyHeaderSize || Get32(late.data() + 4) == r.sequence) {
                    uint32_t older = r.sequence > 1 ? r.sequence - 1 : r.sequence + 1000;
                    late = ReplyFrame(r.kind, older, kStatusOk, Bytes("LATE"), 4);
                }
                int pause = fault->pause_ms >= 0 ? fault->pause_ms : 0;
                if (pause > 0) {
                    write(late);
                    wait(pause);
                    write(frame);
                } else {
                    late.insert(late.end(), frame.begin(), frame.end());
                    write(late);
                }
                break;
            }
            case FaultKind::GarbageFirst: {
                std::vector<uint8_t> garbage = fault->garbage;
                if (garbage.empty())
                    garbage = {0x00, 0xFF, 'j', 'u', 'n', 'k'};
                write(garbage);
                wait(fault->pause_ms >= 0 ? fault->pause_ms : kDefaultGarbagePauseMs);
                write(frame);
                break;
            }
            case FaultKind::Oversized: {
                if (fault->oversize == OversizeMode::DeclaredTooLong) {
                    uint32_t declared = fault->oversize_length;
                    std::vector<uint8_t> data(std::min<uint32_t>(declared, kMaxRequestPayload),
                                              'X');
                    frame = ReplyFrame(r.kind, r.sequence, o.status, data, declared);
                } else {
                    std::vector<uint8_t> data = o.data;
                    size_t want = std::max<size_t>(size_t(r.room) + fault->extra_bytes,
                                                   data.size() + fault->extra_bytes);
                    want = std::min<size_t>(want, kMaxReplyData);
                    data.resize(std::max(want, data.size()), '#');
                    frame = ReplyFrame(r.kind, r.sequence, o.status, data, uint32_t(data.size()));
                }
                write(frame);
                break;
            }
            case FaultKind::CloseMidReply: {
                size_t n = std::min(fault->close_after, frame.size() - 1);
                write(std::vector<uint8_t>(frame.begin(), frame.begin() + long(n)));
                actions.push_back(
                    Action{Action::Close, {}, 0, o.reset ? "reset" : "fault closemid", o.reset});
                Log("conn " + std::to_string(connection) + " reply cut after " + std::to_string(n) +
                    " bytes");
                return actions;
            }
        }
    }
    if (send_real) {
        last_reply = frame;
        Log("conn " + std::to_string(connection) + " reply seq=" + std::to_string(r.sequence) +
            " status=" + Hex32(Get32(frame.data() + 8)) +
            " length=" + std::to_string(Get32(frame.data() + 12)) + " data=" +
            Printable(std::vector<uint8_t>(frame.begin() + kReplyHeaderSize, frame.end())));
    } else {
        Log("conn " + std::to_string(connection) + " no reply (fault)");
    }
    if (o.reset)
        actions.push_back(Action{Action::Close, {}, 0, "reset", true});
    return actions;
}

// ---------------------------------------------------------------------------

Simulator::Simulator(DeviceState state, Options options)
    : impl_(std::make_unique<Impl>(std::move(state), std::move(options))) {}

Simulator::~Simulator() {
    Stop();
}

bool Simulator::Start(std::string* error) {
    auto fail = [error](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        if (impl_->running)
            return fail("already running");
        if (impl_->started_once)
            return fail("a stopped simulator cannot be started again");
    }
    asio::error_code ec;
    asio::ip::address address = asio::ip::make_address(impl_->options.bind_address, ec);
    if (ec)
        return fail("bad bind address \"" + impl_->options.bind_address + "\"");
    impl_->endpoint = tcp::endpoint(address, impl_->port);
    ConnectionFault initial;
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        initial = impl_->connection_fault;
    }
    // Bind first, whatever the connection fault, so that a busy address is reported.
    ec = impl_->OpenListener(kListenBacklog);
    if (ec) {
        return fail("cannot listen on " + impl_->endpoint_text() + ": " + ec.message());
    }
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        impl_->running = true;
        impl_->started_once = true;
    }
    impl_->work.emplace(asio::make_work_guard(impl_->io));
    impl_->SetListening(true, "started");
    impl_->StartAccept();
    std::promise<void> applied;
    if (initial != ConnectionFault::None) {
        asio::post(impl_->io, [this, initial, &applied] {
            impl_->ApplyConnectionFault(initial, [&applied] { applied.set_value(); });
        });
    } else {
        applied.set_value();
    }
    impl_->thread = std::thread([this] { impl_->io.run(); });
    applied.get_future().wait();
    return true;
}

void Simulator::Stop() {
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        if (!impl_->running)
            return;
        impl_->running = false;
    }
    impl_->io.stop();
    if (impl_->thread.joinable())
        impl_->thread.join();
    // The io thread has ended: its objects can be closed from here.
    asio::error_code ec;
    impl_->acceptor.close(ec);
    for (auto& f : impl_->fillers)
        f->close(ec);
    impl_->fillers.clear();
    if (impl_->current)
        impl_->current->Abort();
    impl_->current.reset();
    impl_->work.reset();
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        impl_->listening = false;
    }
    impl_->Notify();
}

bool Simulator::IsRunning() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->running;
}

bool Simulator::IsListening() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->listening;
}

Family Simulator::family() const {
    return impl_->family;
}
const std::string& Simulator::address() const {
    return impl_->options.bind_address;
}
uint16_t Simulator::port() const {
    return impl_->port;
}

std::vector<RecordedRequest> Simulator::Requests() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->requests;
}

size_t Simulator::RequestCount() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->requests.size();
}

void Simulator::ClearRequests() {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->requests.clear();
}

std::vector<Event> Simulator::Events() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->events;
}

DeviceState Simulator::State() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->state;
}

void Simulator::SetState(const DeviceState& state) {
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        impl_->state = state;
        impl_->state.family = impl_->family;
    }
    impl_->Notify();
}

size_t Simulator::ResetCount() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->resets;
}

size_t Simulator::ConnectionCount() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->connections;
}

void Simulator::AddFault(const Fault& fault) {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->faults.push_back(fault);
}

void Simulator::ClearFaults() {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->faults.clear();
}

void Simulator::SetConnectionFault(ConnectionFault fault) {
    bool running;
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        impl_->connection_fault = fault;
        running = impl_->running;
    }
    if (!running)
        return;
    auto applied = std::make_shared<std::promise<void>>();
    asio::post(impl_->io, [this, fault, applied] {
        impl_->ApplyConnectionFault(fault, [applied] { applied->set_value(); });
    });
    // Wait until the fault is in place, unless the simulator is stopped meanwhile.
    std::future<void> done = applied->get_future();
    while (done.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        if (!IsRunning())
            break;
    }
}

ConnectionFault Simulator::GetConnectionFault() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->connection_fault;
}

bool Simulator::WaitUntil(const std::function<bool()>& predicate,
                          std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lk(impl_->wait_mu);
    for (;;) {
        uint64_t seen = impl_->generation;
        lk.unlock();
        bool ok = predicate();
        lk.lock();
        if (ok)
            return true;
        while (impl_->generation == seen) {
            if (impl_->wait_cv.wait_until(lk, deadline) == std::cv_status::timeout) {
                lk.unlock();
                return predicate();
            }
        }
    }
}

bool Simulator::WaitForRequests(size_t count, std::chrono::milliseconds timeout) {
    return WaitUntil([this, count] { return RequestCount() >= count; }, timeout);
}

bool Simulator::WaitForConnections(size_t count, std::chrono::milliseconds timeout) {
    return WaitUntil([this, count] { return ConnectionCount() >= count; }, timeout);
}

bool Simulator::WaitForResets(size_t count, std::chrono::milliseconds timeout) {
    return WaitUntil([this, count] { return ResetCount() >= count; }, timeout);
}

bool Simulator::WaitForListening(bool listening, std::chrono::milliseconds timeout) {
    return WaitUntil([this, listening] { return IsListening() == listening; }, timeout);
}

}  // namespace gwsim
