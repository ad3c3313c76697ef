// Recording proxies and replays on free loopback addresses, for the tests of
// recorded sessions.
#ifndef ZODARURUVIZI_TESTS_TOOLS_SESSION_SUPPORT_H
#define ZODARURUVIZI_TESTS_TOOLS_SESSION_SUPPORT_H

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/loopback.h"
#include "tools/gwsim/proxy.h"
#include "tools/gwsim/recording.h"
#include "tools/gwsim/replay.h"
#include "tools/gwsim/simulator.h"

namespace sessiontest {

// A proxy in front of the simulator, recording to `path` (none when empty).
inline std::unique_ptr<gwsim::Proxy> StartProxy(const gwsim::Simulator& sim,
                                                const std::string& path, std::string* error) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        gwsim::ProxyOptions o;
        o.family = sim.family();
        o.bind_address = zrtest::NextLoopbackAddress();
        o.device_address = sim.address();
        o.device_port = sim.port();
        o.record_path = path;
        auto proxy = std::make_unique<gwsim::Proxy>(o);
        if (proxy->Start(error))
            return proxy;
    }
    return nullptr;
}

inline std::unique_ptr<gwsim::Replayer> StartReplay(const gwsim::Session& session, bool timing,
                                                    std::string* error,
                                                    std::vector<std::string>* log = nullptr) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        gwsim::ReplayOptions o;
        o.bind_address = zrtest::NextLoopbackAddress();
        o.timing = timing;
        auto shared_log = std::make_shared<std::mutex>();
        if (log) {
            // Called on the replay's thread; read by the test only after Stop.
            o.log = [log, shared_log](const std::string& line) {
                std::lock_guard<std::mutex> lk(*shared_log);
                log->push_back(line);
            };
        }
        auto replay = std::make_unique<gwsim::Replayer>(session, o);
        if (replay->Start(error))
            return replay;
    }
    return nullptr;
}

// A file name of its own in the temporary directory, removed at the end.
class TempFile {
public:
    explicit TempFile(const std::string& what) {
        static std::atomic<int> counter{0};
        path_ = (std::filesystem::temp_directory_path() /
                 ("gwsim_session_" + zrtest::NextLoopbackAddress({}) + "_" +
                  std::to_string(counter++) + "_" + what + ".json"))
                    .string();
    }
    ~TempFile() {
        std::error_code ec;
        std::filesystem::remove(path_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace sessiontest

#endif  // ZODARURUVIZI_TESTS_TOOLS_SESSION_SUPPORT_H
