// The simulated device on the shared server skeleton: one connection at a
// time; a reset closes the listener for the reboot; connection faults.
#include "tools/gwsim/simulator.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>

#include "tools/gwsim/server.h"

namespace gwsim {

namespace {

namespace fs = std::filesystem;

const int kListenBacklog = 8;
const int kFillerConnectWaitMs = 200;  // a filler connection not done by then: queue full
const size_t kMaxFillers = 16;
const int kRebindRetryMs = 100;
const int kMaxHangAttempts = 10;  // listener opens, or failed filler connections, per hang fault

Bytes ToBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// The zero-terminated text at the start of a payload.
std::string TextOf(const Bytes& payload) {
    return std::string(payload.begin(), std::find(payload.begin(), payload.end(), uint8_t(0)));
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

}  // namespace

class Simulator::Impl : public Server {
public:
    Impl(DeviceState s, Options o)
        : Server(o, DefaultPort(s.family), FamilyName(s.family)),
          options(std::move(o)),
          family(s.family),
          state(std::move(s)) {
        max_open = 1;
    }
    ~Impl() override { Stop(); }

    const Options options;
    const Family family;

    // guarded by mu
    DeviceState state;
    std::vector<RecordedRequest> requests;
    std::vector<Event> events;
    std::vector<Fault> faults;
    ConnectionFault connection_fault = ConnectionFault::None;
    size_t resets = 0;
    bool listening = false;

    // io thread only
    asio::steady_timer reboot_timer{io};
    asio::steady_timer filler_timer{io};
    std::vector<std::unique_ptr<tcp::socket>> fillers;
    bool rebooting = false;
    ConnectionFault applied_fault = ConnectionFault::None;
    Bytes last_reply;          // the last complete reply frame sent
    uint64_t fault_epoch = 0;  // invalidates pending filler steps

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

    bool MayAccept() override { return !rebooting && applied_fault == ConnectionFault::None; }
    std::shared_ptr<Link> Accepted(tcp::socket socket, size_t index) override {
        asio::error_code ec;
        auto remote = socket.remote_endpoint(ec);
        AddEvent(EventType::Connect, index,
                 ec ? "" : remote.address().to_string() + ":" + std::to_string(remote.port()));
        return std::make_shared<RequestLink>(*this, std::move(socket), index,
                                             options.incomplete_frame_timeout_ms);
    }
    void Malformed(size_t i, const std::string& what) override {
        AddEvent(EventType::Malformed, i, what);
    }
    void Closed(size_t i, const std::string& why) override { AddEvent(EventType::Close, i, why); }
    void AfterClose(bool reboot) override;
    void CloseFillers() {
        asio::error_code ec;
        for (auto& f : fillers)
            f->close(ec);
        fillers.clear();
    }
    void AfterStop() override {
        CloseFillers();
        std::lock_guard<std::mutex> lk(mu);
        listening = false;
    }

    void Reopen(bool reboot);
    void ApplyConnectionFault(ConnectionFault fault, std::function<void()> done);
    void OpenHangListener(uint64_t epoch, int attempt, std::function<void()> done);
    void AddFiller(uint64_t epoch, int failures, std::function<void()> done);

    struct Outcome {
        uint32_t status = kStatusUnsupported;
        Bytes data;
        bool reset = false;  // close and reboot after the answer
    };
    Outcome Execute(const RecordedRequest& r);
    std::string TakeStagedImages();
    std::vector<Step> Respond(const RequestFrame& f) override;
};

// ---------------------------------------------------------------------------

void Simulator::Impl::AfterClose(bool reboot) {
    uint32_t reboot_ms;
    {
        std::lock_guard<std::mutex> lk(mu);
        reboot_ms = state.reboot_ms;
    }
    if (reboot && reboot_ms > 0) {
        rebooting = true;
        CloseListener();
        SetListening(false, "rebooting for " + std::to_string(reboot_ms) + " ms");
        After(reboot_timer, reboot_ms, [this] { Reopen(true); });
        return;
    }
    StartAccept();
}

// Opens the listener again after a reboot or a cleared connection fault,
// again and again while the address is still held.
void Simulator::Impl::Reopen(bool reboot) {
    if (!reboot && rebooting)
        return;  // the reboot reopens it
    if (applied_fault != ConnectionFault::None) {
        rebooting = false;  // the connection fault decides what the listener does
        return;
    }
    asio::error_code ec = OpenListener(kListenBacklog);
    if (ec) {
        AddEvent(EventType::NotListening, 0, "cannot listen again: " + ec.message());
        After(reboot_timer, kRebindRetryMs, [this, reboot] { Reopen(reboot); });
        return;
    }
    rebooting = false;
    SetListening(true, reboot ? "rebooted" : "connection fault cleared");
    StartAccept();
}

void Simulator::Impl::ApplyConnectionFault(ConnectionFault fault, std::function<void()> done) {
    ++fault_epoch;
    filler_timer.cancel();
    CloseFillers();
    applied_fault = fault;
    CloseListener();
    if (fault == ConnectionFault::None) {
        Reopen(false);
        done();
        return;
    }
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
    if (epoch != fault_epoch || fillers.size() >= kMaxFillers) {
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
        if (ec && epoch == fault_epoch) {
            // A filler that fails proves nothing about the queue: another one
            // tries, a bounded number of times.
            AddEvent(EventType::NotListening, 0,
                     "hang fault: filler connection failed: " + ec.message());
            fillers.pop_back();
        }
        if (ec && failures + 1 >= kMaxHangAttempts)
            (*shared_done)();
        else  // there was room, or another try: fill more (a stale epoch ends at once)
            AddFiller(epoch, failures + (ec ? 1 : 0), std::move(*shared_done));
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
    bool mir = family == Family::MIR;
    std::string dir = SoftwareDir() + (mir ? "/sollum_" : "/tarvik_");
    std::string taken;
    auto note = [&taken](const std::string& s) { taken += (taken.empty() ? "" : ", ") + s; };
    for (std::string c : {"lc", "prom", "bootstrap", "cpld", "mac", "r318"}) {
        std::string path = dir + c + ".load", release;
        std::error_code ec;
        if ((mir && c != "lc") || !fs::is_regular_file(path, ec))
            continue;
        bool has = ReadReleaseFromFile(path, &release);
        fs::remove(path, ec);
        std::string* text = c == "lc"          ? &state.lc_release
                            : c == "prom"      ? &state.prom_release
                            : c == "bootstrap" ? &state.bootstrap_release
                                               : nullptr;
        if (!has) {
            note(c + ": no release");
            continue;
        } else if (text) {
            *text = release;
        } else if (c == "cpld") {
            state.cpld_custom = release.find("STANDARD") == std::string::npos;
            if (state.cpld_custom)
                state.cpld_revision = LastNumber(release);
        } else if (state.cable != (c == "mac" ? CableType::Mac : CableType::R318)) {
            note(c + ": no such cable attached");
            continue;
        } else {
            state.cable_version = release;
        }
        note(c + "=" + release);
    }
    return taken;
}

Simulator::Impl::Outcome Simulator::Impl::Execute(const RecordedRequest& r) {
    // Called with mu held.
    Outcome o;
    bool zel = family == Family::ZEL;
    if (r.kind == (zel ? kKindDeviceReset : kKindMeasurementReset)) {
        o.reset = r.code == (zel ? kZelResetCode : kMirResetCode);
        o.status = o.reset ? kStatusOk : kStatusUnsupported;
        return o;
    }
    if (r.kind != (zel ? kKindDeviceCommand : kKindMeasurementCommand))
        return o;
    // The text answers: code, qualifier (0: any), the state's text.
    struct TextCode {
        Family family;
        uint32_t code, qualifier;
        std::string DeviceState::*text;
    };
    static const TextCode kTexts[] = {
        {Family::ZEL, kZelGetLcRelease, 0, &DeviceState::lc_release},
        {Family::ZEL, kZelGetPromRelease, 0, &DeviceState::prom_release},
        {Family::ZEL, kZelGetBootstrapRelease, 0, &DeviceState::bootstrap_release},
        {Family::ZEL, kZelGetSerialNumber, 0, &DeviceState::serial_number},
        {Family::ZEL, kZelGetMacAddress, kZelMacEthernet, &DeviceState::mac_address},
        {Family::ZEL, kZelGetMacAddress, kZelMacUsb, &DeviceState::usb_mac_address},
        {Family::MIR, kMirGetSerialNumber, 0, &DeviceState::serial_number},
        {Family::MIR, kMirGetLcRelease, 0, &DeviceState::lc_release},
        {Family::MIR, kMirGetPromRelease, 0, &DeviceState::prom_release},
    };
    for (const TextCode& t : kTexts) {
        if (t.family == family && t.code == r.code &&
            (!t.qualifier || t.qualifier == r.qualifier)) {
            o.status = kStatusOk;
            o.data = ToBytes(state.*t.text);
            return o;
        }
    }
    std::string release;
    auto update = [&](std::string* target) {
        bool ok = ReadReleaseFromFile(DevicePath(TextOf(r.payload)), &release);
        if (ok)
            *target = release;
        o.status = ok ? kStatusOk : kStatusNoRelease;
    };
    if (!zel) {
        if (r.code == kMirUpdateProm)
            update(&state.prom_release);
    } else if (r.code == kZelGetCpldRevision) {
        o.status = state.cpld_custom ? kStatusOk : kStatusStandardCpld;
        if (state.cpld_custom)
            Put32(&o.data, state.cpld_revision);
    } else if (r.code == kZelGetCableVersion && state.cable != CableType::None) {
        o.status = kStatusOk;
        o.data = ToBytes(state.cable_version);
    } else if (r.code == kZelRequestSerialNumber) {
        o.status = kStatusOk;
    } else if (r.code == kZelSerialNumberText) {
        state.pc_serial_text = TextOf(r.payload);
        o.status = kStatusOk;
    } else if (r.code == kZelUpdateCable) {
        if (state.cable == CableType::None)
            o.status = kStatusNoRelease;
        else
            update(&state.cable_version);
    }
    return o;
}

std::vector<Step> Simulator::Impl::Respond(const RequestFrame& f) {
    const RecordedRequest& r = f.request;
    std::string conn = "conn " + std::to_string(r.connection);
    if (f.status != FrameStatus::Complete) {
        std::string what = f.status == FrameStatus::BadVersion
                               ? "protocol version " + std::to_string(r.version)
                               : "payload over " + std::to_string(kMaxRequestPayload) + " bytes";
        AddEvent(EventType::Malformed, r.connection, what);
        return MalformedReply(r, what);
    }
    Log(conn + " request " + DescribeRequest(r));
    bool known_kind = r.kind == kKindDeviceCommand || r.kind == kKindDeviceReset ||
                      r.kind == kKindMeasurementCommand || r.kind == kKindMeasurementReset;
    if (!known_kind)
        AddEvent(EventType::Malformed, r.connection, "unknown kind " + Hex32(r.kind));

    std::optional<Fault> fault;
    Outcome o;
    std::string effect;
    {
        std::lock_guard<std::mutex> lk(mu);
        requests.push_back(r);
        for (Fault& k : faults) {
            if (k.times == 0 || (k.code && *k.code != r.code) ||
                (k.qualifier && *k.qualifier != r.qualifier) ||
                (k.request_kind && *k.request_kind != r.kind))
                continue;
            if (k.times > 0)
                --k.times;
            fault = k;
            break;
        }
        if (!fault || (fault->kind != FaultKind::Status && fault->kind != FaultKind::NoReply)) {
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
        AddEvent(EventType::Reset, r.connection, effect);
    else if (!effect.empty())
        AddEvent(EventType::Update, r.connection, effect);
    if (fault)
        AddEvent(EventType::Fault, r.connection, FaultKindName(fault->kind));

    Bytes sent;
    std::vector<Step> steps =
        ShapeReply(Reply{kProtocolVersion, uint8_t(r.kind | kReplyBit), r.sequence, o.status,
                         uint32_t(o.data.size()), o.data},
                   r.room, last_reply, fault ? &*fault : nullptr, &sent);
    if (!sent.empty()) {
        last_reply = sent;
        Bytes data(sent.begin() + kReplyHeaderSize, sent.end());
        Log(conn + " reply status=" + Hex32(Get32(sent.data() + 8)) +
            " length=" + std::to_string(Get32(sent.data() + 12)) + " data " +
            (Printable(data) ? "\"" + std::string(data.begin(), data.end()) + "\"" : ToHex(data)));
    } else {
        Log(conn + " no complete reply (fault)");
    }
    if (o.reset) {
        if (steps.empty() || steps.back().type != Step::Close)
            steps.push_back(Step{Step::Close});
        steps.back().why = "reset";
        steps.back().reboot = true;
    }
    return steps;
}

// ---------------------------------------------------------------------------

Simulator::Simulator(DeviceState state, Options options)
    : Service(std::make_unique<Impl>(std::move(state), std::move(options))),
      impl_(static_cast<Impl*>(server_.get())) {}

bool Simulator::Start(std::string* error) {
    ConnectionFault initial = GetConnectionFault();
    if (!impl_->Start(error))  // binds first, whatever the fault, so a busy address is reported
        return false;
    impl_->SetListening(true, "started");
    if (initial != ConnectionFault::None)
        SetConnectionFault(initial);
    return true;
}

bool Simulator::IsRunning() const {
    return impl_->Running();
}

bool Simulator::IsListening() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->listening;
}

Family Simulator::family() const {
    return impl_->family;
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

void Simulator::AddFault(const Fault& fault) {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->faults.push_back(fault);
}

void Simulator::ClearFaults() {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->faults.clear();
}

void Simulator::SetConnectionFault(ConnectionFault fault) {
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        impl_->connection_fault = fault;
    }
    if (!IsRunning())
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

bool Simulator::WaitForRequests(size_t count, std::chrono::milliseconds timeout) {
    return WaitUntil([this, count] { return RequestCount() >= count; }, timeout);
}

bool Simulator::WaitForResets(size_t count, std::chrono::milliseconds timeout) {
    return WaitUntil([this, count] { return ResetCount() >= count; }, timeout);
}

bool Simulator::WaitForListening(bool listening, std::chrono::milliseconds timeout) {
    return WaitUntil([this, listening] { return IsListening() == listening; }, timeout);
}

}  // namespace gwsim
