// Lifecycle: settings loading, notifications, configuration and shutdown.
#include "mach3/lifecycle.h"

#include "mach3/assignments/assignments.h"
#include "mach3/dialog/config_dialog.h"
#include "mach3/log.h"
#include "mach3/pin_assignment.h"
#include "mach3/plugin_state.h"
#include "mach3/profile/xml_profile.h"
#include "mach3/settings_keys.h"
#include "platform/module_file.h"

namespace {

constexpr const char* kSuffix = " and 41 Quorlane Inc.";

// Saves the store now and tells the user of a save that did not happen; a box only when the user
// asked for the save, on its own thread like the other warnings.
void SaveAndReport(CXmlProfile& profile, bool userAsked) {
    std::string reason;
    if (profile.Save(reason)) return;
    const std::string text =
        "TRELVO-40/41 settings could not be saved to " + plugin().id.ProfilePath + ": " + reason;
    myLog(LOG_ERROR, text);
    ReportStatus(text);
    if (userAsked) ShowWarning(text.c_str());
}

}  // namespace

std::string myProfileInit(CXmlProfile& profile) {
    PluginState& p = plugin();
    if (LogIsOpen()) {
        myLog(LOG_SYSTEM, "myProfileInit() ignoring debug file from XML");
    } else {
        const std::string file = profile.ReadString(kProfileSection, "DebugLogFile", "");
        p.log.threshold = profile.ReadInt(kProfileSection, "DebugLogLevel", 0);
        if (!file.empty() && OpenLogFile(file)) {
            myLogf(LOG_SYSTEM, "%s (level=%d in myProfileInit) ***", kLogBanner, p.log.threshold);
        }
        FlushPendingLog();
    }
    myLog(LOG_INFO, "Profile Init");
    Settings& s = p.settings;
    ReadSettingsKeys([&](const char* key, int fallback) { return profile.ReadInt(kProfileSection, key, fallback); }, s);
    return kSuffix;
}

const char* PlugSetProName(const char* profilePath) noexcept {
    PluginState& p = plugin();
    try {
        p.id.ProfilePath = profilePath != nullptr ? profilePath : "";
        {
            CXmlProfile profile(p.id.ProfilePath);
            p.id.suffix = myProfileInit(profile);
            p.id.displayName = platform::ModuleName() + p.id.suffix;
            SaveAndReport(profile, false);
        }
    } catch (...) {
        // Out of memory is the only way here; the host still gets a name.
    }
    return p.id.displayName.c_str();
}

bool PlugInitControl(intptr_t engine, intptr_t arg2, intptr_t state, intptr_t arg4) noexcept {
    PluginState& p = plugin();
    if (p.cleanedUp) {
        // Loaded again after StopPlug: the transmitter and the scan start as they did at load.
        p.core.ResetLine();
        p.scan = ScanResults{};
        p.cleanedUp = false;
    }
    BindHostBlocks(reinterpret_cast<HostEngineBlock*>(engine), reinterpret_cast<HostStateBlock*>(state));
    p.host.arg2 = arg2;
    p.host.arg4 = arg4;
    ShowPendingStatus();
    myLog(LOG_INFO, "Init Control");
    p.core.state = board::kTxIdle;
    return true;
}

void PlugPostInitControl() noexcept {
    myLog(LOG_INFO, "Post Init");
    CheckProbeAssignment();
}

void PlugConfig() noexcept {
    try {
        CXmlProfile profile(plugin().id.ProfilePath);
        RunConfigDialog(profile);
        SaveAndReport(profile, profile.HasWrites());  // only OK writes
    } catch (...) {
    }
}

void myNotify(int32_t code) noexcept {
    static constexpr const char* kTexts[] = {
        "myNotify( EX_DDA )",      "myNotify( EX_VMS )",        "myNotify( EX_COMMAND )",
        "myNotify( EX_SPINON )",   "myNotify( EX_SPINOFF )",    "myNotify( EX_SPINSPEED )",
        "myNotify( EX_MOTORRUNED )", "myNotify( EX_SETUP )",    "myNotify( EX_FEEDHOLD )",
        "myNotify( EX_RUN )",      "myNotify( EX_ESTOP )",      "myNotify( EX_CONFIG )",
    };
    const unsigned hex = static_cast<unsigned>(code);
    if (code == -1) {
        myLog(LOG_DEBUG, "myNotify( -1 ) ** SYSTEM SHUTDOWN **");
    } else if (code >= 0 && code <= 11) {
        myLog(LOG_DEBUG, kTexts[code]);
    } else if (code == 14 || code == 0x12000E) {
        myLogf(LOG_DEBUG, "myNotify( UNDOC SHUTDOWN 0x%X ), MAYBE SHOULD BE calling myCleanUp()", hex);
    } else {
        myLogf(LOG_DEBUG, "myNotify( 0x%X ) Unknown Message", hex);
    }
    if (code == 11) {
        const HostEngineBlock* engine = plugin().host.engine;
        if (engine != nullptr && engine->outputs[13].enabled != 0) {
            myLog(LOG_INFO, "myNotify() EX_CONFIG found CP active");
        }
        CheckStepDirAssignment();
        CheckProbeAssignment();
    }
}

void myCleanUp() noexcept {
    PluginState& p = plugin();
    if (p.cleanedUp) {
        return;
    }
    ReleaseChannelsAndBlocks();
    if (LogIsOpen()) {
        myLog(LOG_SYSTEM, "*** Closing Log File  ***");
        CloseLogFile();
    }
    p.cleanedUp = true;
}
