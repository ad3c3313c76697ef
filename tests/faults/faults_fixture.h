// A checker whose device utilities the tests can reach, against a simulated
// device of either family, with firmware on the PC that matches the healthy
// device, so that a healthy check finds nothing to update.
#ifndef ZODARURUVIZI_TESTS_FAULTS_FAULTS_FIXTURE_H
#define ZODARURUVIZI_TESTS_FAULTS_FAULTS_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "tests/support/testenv.h"
#include "tests/support/attributes.h"
#include "tests/support/loopback.h"
#include "tools/gwsim/simulator.h"
#include "zodaruruvizi/comms/gatewaycomms.h"
#include "zodaruruvizi/devices/sollumutils.h"
#include "zodaruruvizi/devices/tarvikutils.h"
#include "zodaruruvizi/devices/valuestore.h"
#include "zodaruruvizi/zodaruruvizi.h"

// Puts device utilities of the test's choice into a checker (which then owns
// and deletes them), so that a test can hold the connection open around the
// operations that use it as they find it.
class CGatewayChecksTestAccess {
public:
    static void ReplaceDeviceUtilities(CGatewayChecks& checks, CZodarurUvizi* utilities) {
        delete checks.m_pZodarurUvizi;
        checks.m_pZodarurUvizi = utilities;
    }
};

namespace zrfaults {

using gwsim::Family;

template <class Utilities>
struct Reachable : Utilities {
    explicit Reachable(unsigned short port) : Utilities(new CGatewayComms(port)) {}
    CGatewayComms* comms() { return this->m_pGatewayComms; }
};

using Store = std::map<std::string, std::string>;

inline Store StoreNow() {
    return Store(GetValueStore().begin(), GetValueStore().end());
}

// The store with every attribute of the family set to one word.
inline Store AllAttributes(Family family, const char* word) {
    Store s;
    for (const char* key :
         family == Family::ZEL ? zrtest::TarvikAttributes() : zrtest::SollumAttributes())
        s[key] = word;
    return s;
}

// A fault as the simulator's command line spells it ("status:status=5").
inline gwsim::Fault Fault(const std::string& spec) {
    gwsim::Fault f;
    std::string error;
    EXPECT_TRUE(gwsim::ParseFault(spec, &f, &error)) << spec << ": " << error;
    return f;
}

const char kAllSame[] = "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Same, R318:Same,";

class Bench {
public:
    explicit Bench(Family family)
        : family_(family), checks_(family == Family::ZEL ? "ZEL" : "MIR") {
        GetValueStore().clear();
        const gwsim::DeviceState h = gwsim::DeviceState::Default(family);
        const bool zel = family == Family::ZEL;
        dirs.WriteFirmware(zel ? "tarvik_lc.bin" : "sollum_lc.bin", h.lc_release);
        dirs.WriteFirmware(zel ? "tarvik_prom.bin" : "sollum_prom.bin", h.prom_release);
        if (zel) {
            dirs.WriteFirmware("tarvik_bootstrap.bin", h.bootstrap_release);
            dirs.WriteFirmware("tessan_cable.hex", h.cable_version);
            dirs.WriteFirmware("tarvik_mac.bin", h.cable_version);
        }
        gwsim::Options options;
        options.software_dir = dirs.software.path();
        std::string error;
        sim = zrtest::StartSimulator(h, options, &error);
        EXPECT_TRUE(sim) << error;
        if (!sim)
            return;
        if (zel)
            CGatewayChecksTestAccess::ReplaceDeviceUtilities(checks_, tarvik = new Tarvik(9191));
        else
            CGatewayChecksTestAccess::ReplaceDeviceUtilities(checks_, sollum = new Sollum(9181));
        checks_.SetAddress(inet_addr(sim->address().c_str()));
    }
    ~Bench() { GetValueStore().clear(); }

    CGatewayChecks& checks() { return checks_; }
    CGatewayComms* comms() { return tarvik ? tarvik->comms() : sollum->comms(); }
    bool UpdateLc() { return tarvik ? tarvik->UpdateLC() : sollum->UpdateLC(); }
    std::string Check() { return checks_.CheckForUpdates(true).ToString().str(); }

    // Clears the device's faults and state and the staged files.
    void Heal() {
        sim->ClearFaults();
        sim->SetConnectionFault(gwsim::ConnectionFault::None);
        sim->WaitForListening(true, std::chrono::seconds(10));
        sim->SetState(gwsim::DeviceState::Default(family_));
        for (const char* staged : {"tarvik_lc.load", "tarvik_prom.load", "tarvik_bootstrap.load",
                                   "tarvik_cpld.load", "tarvik_mac.load", "sollum_lc.load"})
            std::remove(dirs.software.File(staged).c_str());
    }

    using Tarvik = Reachable<CTarvikUtils>;
    using Sollum = Reachable<CSollumUtils>;
    zrtest::GatewayDirs dirs;
    zrtest::CapturedLog log;
    std::unique_ptr<gwsim::Simulator> sim;
    Tarvik* tarvik = nullptr;  // owned by the checker
    Sollum* sollum = nullptr;  // owned by the checker

private:
    Family family_;
    CGatewayChecks checks_;
};

}  // namespace zrfaults

#endif
