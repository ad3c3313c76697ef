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

template <class Utilities>
class Reachable : public Utilities {
public:
    explicit Reachable(unsigned short port) : Utilities(new CGatewayComms(port)) {}
    CGatewayComms* comms() { return this->m_pGatewayComms; }
};
using ReachableTarvik = Reachable<CTarvikUtils>;
using ReachableSollum = Reachable<CSollumUtils>;

using Store = std::map<std::string, std::string>;

inline Store StoreNow() {
    return Store(GetValueStore().begin(), GetValueStore().end());
}

inline gwsim::DeviceState Healthy(gwsim::Family family) {
    return gwsim::DeviceState::Default(family);
}

class Bench {
public:
    explicit Bench(gwsim::Family family)
        : family_(family), checks_(family == gwsim::Family::ZEL ? "ZEL" : "MIR") {
        GetValueStore().clear();
        const gwsim::DeviceState h = Healthy(family);
        if (family == gwsim::Family::ZEL) {
            dirs.WriteFirmware("tarvik_lc.bin", h.lc_release);
            dirs.WriteFirmware("tarvik_prom.bin", h.prom_release);
            dirs.WriteFirmware("tarvik_bootstrap.bin", h.bootstrap_release);
            dirs.WriteFirmware("tessan_cable.hex", h.cable_version);
            dirs.WriteFirmware("tarvik_mac.bin", h.cable_version);
        } else {
            dirs.WriteFirmware("sollum_lc.bin", h.lc_release);
            dirs.WriteFirmware("sollum_prom.bin", h.prom_release);
        }
        gwsim::Options options;
        options.software_dir = dirs.software.path();
        std::string error;
        sim = zrtest::StartSimulator(h, options, &error);
        EXPECT_TRUE(sim) << error;
        if (!sim)
            return;
        if (family == gwsim::Family::ZEL) {
            tarvik = new ReachableTarvik(9191);
            CGatewayChecksTestAccess::ReplaceDeviceUtilities(checks_, tarvik);
        } else {
            sollum = new ReachableSollum(9181);
            CGatewayChecksTestAccess::ReplaceDeviceUtilities(checks_, sollum);
        }
        checks_.SetAddress(inet_addr(sim->address().c_str()));
    }
    ~Bench() { GetValueStore().clear(); }

    CGatewayChecks& checks() { return checks_; }
    CGatewayComms* comms() { return tarvik ? tarvik->comms() : sollum->comms(); }
    gwsim::Family family() const { return family_; }

    std::string Check() { return checks_.CheckForUpdates(true).ToString().str(); }

    // Clears the device's faults and state and the staged files.
    void Heal() {
        sim->ClearFaults();
        sim->SetConnectionFault(gwsim::ConnectionFault::None);
        sim->WaitForListening(true, std::chrono::seconds(10));
        sim->SetState(Healthy(family_));
        for (const char* staged : {"tarvik_lc.load", "tarvik_prom.load", "tarvik_bootstrap.load",
                                   "tarvik_cpld.load", "tarvik_mac.load", "sollum_lc.load"}) {
            std::remove(dirs.software.File(staged).c_str());
        }
    }

    zrtest::GatewayDirs dirs;
    zrtest::CapturedLog log;
    std::unique_ptr<gwsim::Simulator> sim;
    ReachableTarvik* tarvik = nullptr;  // owned by the checker
    ReachableSollum* sollum = nullptr;  // owned by the checker

private:
    gwsim::Family family_;
    CGatewayChecks checks_;
};

const char kAllSame[] = "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Same, R318:Same,";

// The store with every attribute of the family set to one word.
inline Store AllAttributes(gwsim::Family family, const char* word) {
    Store s;
    for (const char* key :
         family == gwsim::Family::ZEL ? zrtest::TarvikAttributes() : zrtest::SollumAttributes()) {
        s[key] = word;
    }
    return s;
}

}  // namespace zrfaults

#endif
