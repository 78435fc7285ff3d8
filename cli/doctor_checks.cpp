#include "cli/doctor_checks.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "cli/device_nodes.h"
#include "cli/device_query.h"

namespace kyt::host {

namespace {

namespace fs = std::filesystem;
using Outcome = TCheckResult::Outcome;

constexpr const char* kPluginModules[] = {"WWWReader", "COMPort", "CSCK", "SSCK",
                                          "HID",       "FTDI",    "USBXp"};
constexpr const char* kRuleFolders[] = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                        "/usr/local/lib/udev/rules.d", "/usr/lib/udev/rules.d",
                                        "/lib/udev/rules.d"};
#ifdef _WIN32
constexpr const char* kAfterLibraryInstall = "";
#else
constexpr const char* kAfterLibraryInstall = " and run sudo ldconfig";
#endif
constexpr const char* kReloadRules = "sudo udevadm control --reload && sudo udevadm trigger";

TCheckResult Pass(std::string name, std::string text) {
  return {std::move(name), Outcome::Pass, std::move(text), ""};
}
TCheckResult Skip(std::string name, std::string text) {
  return {std::move(name), Outcome::Skip, std::move(text), ""};
}
TCheckResult Fail(std::string name, std::string text, std::string fix) {
  return {std::move(name), Outcome::Fail, std::move(text), std::move(fix)};
}

#ifndef _WIN32
std::string UserName() {
  if (const passwd* entry = getpwuid(geteuid()))
    return entry->pw_name;
  return std::to_string(geteuid());
}

std::string GroupName(gid_t gid) {
  if (const group* entry = getgrgid(gid))
    return entry->gr_name;
  return std::to_string(gid);
}

bool InGroup(const std::vector<gid_t>& groups, gid_t gid) {
  return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

std::vector<gid_t> ProcessGroups() {
  std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)) + 1);
  int count = getgroups(static_cast<int>(groups.size() - 1), groups.data());
  groups.resize(count < 0 ? 0 : static_cast<size_t>(count));
  groups.push_back(getegid());
  return groups;
}

// The groups the user database gives the user, which a new login would have.
std::vector<gid_t> AccountGroups() {
  const passwd* entry = getpwuid(geteuid());
  if (entry == nullptr)
    return {};
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (getgrouplist(entry->pw_name, entry->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    getgrouplist(entry->pw_name, entry->pw_gid, groups.data(), &count);
  }
  groups.resize(static_cast<size_t>(std::max(count, 0)));
  return groups;
}

std::string GroupFix(const std::vector<std::string>& nodes, const std::string& ruleGroup) {
  struct stat info {};
  if (nodes.empty() || stat(nodes.front().c_str(), &info) != 0)
    return "give this user read and write access to the nodes";
  return NodeAccessFix(
      {nodes.front(), UserName(), GroupName(info.st_gid), info.st_gid == 0,
       static_cast<unsigned>(info.st_mode & 0777), InGroup(ProcessGroups(), info.st_gid),
       InGroup(AccountGroups(), info.st_gid)},
      ruleGroup);
}

std::vector<std::string> Inaccessible(const std::vector<std::string>& nodes) {
  std::vector<std::string> refused;
  for (const auto& node : nodes) {
    if (access(node.c_str(), R_OK | W_OK) != 0)
      refused.push_back(node);
  }
  return refused;
}

std::optional<std::string> InstalledRules() {
  std::error_code error;
  for (const char* folder : kRuleFolders) {
    fs::path file = fs::path(folder) / kUdevRulesFile;
    if (fs::exists(file, error))
      return file.string();
  }
  return std::nullopt;
}

#endif

}  // namespace

std::string NodeAccessFix(const TNodeAccess& access, const std::string& ruleGroup) {
  if (access.GroupIsRoot || (access.Mode & 060) != 060) {
    return fmt::format(
        "{} belongs to the group {} with mode {:o}, so no group membership opens it: a udev rule "
        "must give it GROUP=\"{}\", MODE=\"0660\" (then {}), and {} must be in {}",
        access.Node, access.Group, access.Mode, ruleGroup, kReloadRules, access.User, ruleGroup);
  }
  if (access.InGroup) {
    return fmt::format(
        "{} is in the group {}, which may read and write {}: look for an ACL "
        "(getfacl) or a security module refusing it",
        access.User, access.Group, access.Node);
  }
  if (access.InGroupAtLogin) {
    return fmt::format("{} is in the group {}, but this session started before: log in again",
                       access.User, access.Group);
  }
  return fmt::format("sudo usermod -aG {} {}, then log in again", access.Group, access.User);
}

namespace {

TCheckResult CheckPlugin(const std::string& library, TModuleProbe* probe,
                         const std::string& loadError) {
  const std::string name = "plug-in";
  if (probe == nullptr) {
    return Fail(name, fmt::format("{} does not load: {}", library, loadError),
                "build it (make build), or name the plug-in with --library FILE");
  }
  std::vector<std::string> missing;
  for (const char* module : kPluginModules) {
    if (!probe->Resolve(module))
      missing.push_back(module);
  }
  if (!missing.empty()) {
    return Fail(name, fmt::format("{} registers no {}", library, fmt::join(missing, ", ")),
                "use a plug-in built from this tree (make build)");
  }
  return Pass(name, fmt::format("{} registers its seven modules: {}", library,
                                fmt::join(kPluginModules, ", ")));
}

TCheckResult CheckSerialPorts(TModuleProbe* probe) {
  const std::string name = "serial ports";
  if (probe == nullptr)
    return Skip(name, "not applicable: the plug-in does not load");
  TDeviceList ports = QueryDevices(*probe, "COMPort", false);
  if (ports.Unavailable)
    return Fail(name, *ports.Unavailable, "see the plug-in check");
  std::vector<std::string> nodes;
  for (const auto& port : ports.Devices) {
    if (port.is_string())
      nodes.push_back(SerialNode(port.get<std::string>()));
  }
  if (nodes.empty())
    return Skip(name, "not applicable: this machine has no serial ports");
#ifdef _WIN32
  // Windows gives every user the ports; one in use elsewhere shows when an instance opens it.
  return Pass(name, fmt::format("{} present", fmt::join(nodes, ", ")));
#else
  std::vector<std::string> refused = Inaccessible(nodes);
  if (!refused.empty()) {
    return Fail(
        name,
        fmt::format("{} not readable and writable by {}", fmt::join(refused, ", "), UserName()),
        GroupFix(refused, "dialout"));
  }
  return Pass(name,
              fmt::format("{} readable and writable by {}", fmt::join(nodes, ", "), UserName()));
#endif
}

#ifndef _WIN32
bool ProcessRunning(const std::string& command) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    std::ifstream in(entry.path() / "comm");
    std::string comm;
    if (std::getline(in, comm) && comm == command)
      return true;
  }
  return false;
}

TCheckResult CheckModemManager() {
  const std::string name = "ModemManager";
  if (!ProcessRunning("ModemManager"))
    return Pass(name, "not running, so it probes no serial port");
  if (auto rules = InstalledRules()) {
    return Pass(name, fmt::format("running; {} tells it to leave the FTDI and Silicon Labs "
                                  "devices alone",
                                  *rules));
  }
  return Fail(name,
              "running, and may open a serial port to probe for a modem while a module uses it",
              fmt::format("install {} (make install), then {}; or sudo systemctl disable --now "
                          "ModemManager",
                          kUdevRulesFile, kReloadRules));
}

// USB interfaces the kernel's ftdi_sio serves ("1-1:1.0"), which the D2XX library cannot open.
std::vector<std::string> FtdiSioInterfaces() {
  std::vector<std::string> bound;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/sys/bus/usb/drivers/ftdi_sio", error)) {
    std::string interface = entry.path().filename().string();
    if (interface.find(':') != std::string::npos)
      bound.push_back(interface);
  }
  std::sort(bound.begin(), bound.end());
  return bound;
}

TCheckResult CheckFtdiSio(bool d2xxLoads, bool ours) {
  const std::string name = "ftdi_sio";
  std::vector<std::string> bound = FtdiSioInterfaces();
  if (bound.empty())
    return Skip(name, "not applicable: ftdi_sio serves no device");
  if (ours) {
    return Pass(name, fmt::format("serves {}; our D2XX library takes a device from it while the "
                                  "FTDI module has it open and gives it back at close",
                                  fmt::join(bound, ", ")));
  }
  if (!d2xxLoads) {
    return Pass(name, fmt::format("serves {} as serial ports (COMPort); no D2XX library to want "
                                  "them",
                                  fmt::join(bound, ", ")));
  }
  return Fail(name,
              fmt::format("serves {}, which the FTDI module then cannot open through D2XX",
                          fmt::join(bound, ", ")),
              fmt::format("for the FTDI module: echo {} | sudo tee "
                          "/sys/bus/usb/drivers/ftdi_sio/unbind (or sudo rmmod ftdi_sio); to "
                          "keep a serial port, configure it as a COMPort instead",
                          bound.front()));
}

#endif

struct TVendor {
  const char* Check;
  const char* Module;
  const char* Variable;
  const char* File;
  const char* Where;
  const char* Ours = nullptr;  // our own library for the interface, taken where File is missing
};

std::string FileName(const std::string& path) {
  return fs::path(path).filename().string();
}

// `ours` tells whether the module took our own library (TVendor::Ours) in place of the vendor's.
TCheckResult CheckVendorLibrary(const TVendor& vendor, TModuleProbe* probe, bool& loads,
                                bool* ours = nullptr) {
  loads = false;
  if (ours)
    *ours = false;
  if (probe == nullptr)
    return Skip(vendor.Check, "not applicable: the plug-in does not load");
  TDeviceList list = QueryDevices(*probe, vendor.Module, true);
  if (list.LibraryVersion) {
    loads = true;
    if (!list.LibraryFile)
      return Pass(vendor.Check, fmt::format("{} loads: {}", vendor.File, *list.LibraryVersion));
    if (vendor.Ours && FileName(*list.LibraryFile) == vendor.Ours) {
      if (ours)
        *ours = true;
      return Pass(vendor.Check,
                  fmt::format("{} not found; ours, {} (on libftdi1), loads: {} ({})", vendor.File,
                              vendor.Ours, *list.LibraryVersion, *list.LibraryFile));
    }
    return Pass(vendor.Check, fmt::format("{} loads: {} ({})", FileName(*list.LibraryFile),
                                          *list.LibraryVersion, *list.LibraryFile));
  }
  const char* chosen = std::getenv(vendor.Variable);
  std::string reason = list.Unavailable.value_or("it did not load");
  if (chosen != nullptr && *chosen != '\0') {
    return Fail(
        vendor.Check, fmt::format("{}={} does not load: {}", vendor.Variable, chosen, reason),
        fmt::format("name the vendor's {} with {}, or unset it", vendor.File, vendor.Variable));
  }
  // Without the library the module's instances still run, only without devices; whether that
  // matters depends on the configs, which this machine-wide check does not see.
  return Skip(vendor.Check,
              fmt::format("not applicable unless {} instances are configured: {} not found ({}); "
                          "to use one, install {}{}, or set {}",
                          vendor.Module, vendor.File, reason, vendor.Where, kAfterLibraryInstall,
                          vendor.Variable));
}

#ifndef _WIN32
TCheckResult CheckHidraw() {
  const std::string name = "hidraw";
  std::vector<std::string> nodes;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/dev", error)) {
    if (entry.path().filename().string().rfind("hidraw", 0) == 0)
      nodes.push_back(entry.path().string());
  }
  std::sort(nodes.begin(), nodes.end());
  if (nodes.empty())
    return Skip(name, "not applicable: this machine has no HID devices (no /dev/hidraw*)");
  std::vector<std::string> refused = Inaccessible(nodes);
  if (refused.empty()) {
    return Pass(name,
                fmt::format("{} readable and writable by {}", fmt::join(nodes, ", "), UserName()));
  }
  std::string fix = InstalledRules()
                        ? GroupFix(refused, kDeviceGroup)
                        : fmt::format(
                              "install {} (make install), which gives the nodes to the "
                              "group {}; then {}; then sudo usermod -aG {} {}",
                              kUdevRulesFile, kDeviceGroup, kReloadRules, kDeviceGroup, UserName());
  return Fail(
      name, fmt::format("{} not readable and writable by {}", fmt::join(refused, ", "), UserName()),
      fix);
}

#endif

// gettext's choice: LANGUAGE (a list) unless the locale is C, else the locale's language.
std::vector<std::string> WantedLanguages(const std::string& locale) {
  std::vector<std::string> languages;
  const char* list = std::getenv("LANGUAGE");
  if (list != nullptr && *list != '\0') {
    std::string rest = list;
    for (size_t start = 0; start <= rest.size();) {
      size_t end = rest.find(':', start);
      if (end == std::string::npos)
        end = rest.size();
      if (end > start)
        languages.push_back(rest.substr(start, end - start));
      start = end + 1;
    }
  } else {
    languages.push_back(locale.substr(0, locale.find_first_of(".@")));
  }
  return languages;
}

std::string EnvironmentLocale() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0')
      return value;
  }
  return "";
}

// de_DE.UTF-8 is found as de_DE.UTF-8, de_DE or de.
std::optional<std::string> FindCatalogue(const fs::path& folder, const std::string& language) {
  std::error_code error;
  for (std::string form : {language, language.substr(0, language.find_first_of(".@")),
                           language.substr(0, language.find_first_of("_.@"))}) {
    fs::path file = folder / form / "LC_MESSAGES" / "default.mo";
    if (!form.empty() && fs::exists(file, error))
      return file.string();
  }
  return std::nullopt;
}

std::string AvailableLanguages(const fs::path& folder) {
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (fs::exists(entry.path() / "LC_MESSAGES" / "default.mo", error))
      found.push_back(entry.path().filename().string());
  }
  std::sort(found.begin(), found.end());
  return found.empty() ? "none" : fmt::format("{}", fmt::join(found, ", "));
}

TCheckResult CheckCatalogues(const std::string& library) {
  const std::string name = "message catalogues";
#ifdef LC_MESSAGES
  const char* active = std::setlocale(LC_MESSAGES, nullptr);
#else
  // The C library of Windows has no message category; the texts follow LANGUAGE and LANG.
  const char* active = std::getenv("LANG");
#endif
  std::string locale = active ? active : "C";
  std::string asked = EnvironmentLocale();
  bool plain = locale == "C" || locale == "POSIX";
  if (plain && !asked.empty() && asked != "C" && asked != "POSIX") {
    return Fail(name, fmt::format("the locale {} is not installed, so texts stay English", asked),
                fmt::format("sudo locale-gen {} (Debian: sudo dpkg-reconfigure locales), or "
                            "LANGUAGE=de LC_ALL=C.UTF-8 for German",
                            asked));
  }
  if (plain)
    return Skip(name, fmt::format("not applicable: the locale is {}, texts are English", locale));
  std::vector<std::string> languages = WantedLanguages(locale);
  const char* chosen = std::getenv("KYT_LOCALEDIR");
  fs::path folder = chosen != nullptr && *chosen != '\0'
                        ? fs::path(chosen)
                        : fs::path(library).parent_path() / "locale";
  for (const auto& language : languages) {
    if (language == "C" || language.rfind("en", 0) == 0) {
      return Skip(name,
                  fmt::format("not applicable: the language is {}, texts are English", language));
    }
    if (auto file = FindCatalogue(folder, language))
      return Pass(name, fmt::format("{}: {}", language, *file));
  }
  return Fail(name,
              fmt::format("no catalogue for {} in {}", fmt::join(languages, ":"), folder.string()),
              fmt::format("pick a language that has one (there: {}), e.g. LANGUAGE=de; or add "
                          "po/LANGUAGE.po and rebuild",
                          AvailableLanguages(folder)));
}

}  // namespace

std::vector<TCheckResult> DoctorChecks(const std::string& library, TModuleProbe* probe,
                                       const std::string& loadError) {
  std::vector<TCheckResult> checks;
  checks.push_back(CheckPlugin(library, probe, loadError));
  checks.push_back(CheckSerialPorts(probe));
  bool d2xx = false, usbxp = false;
#ifdef _WIN32
  // Windows has no ModemManager, ftdi_sio or hidraw nodes to check.
  checks.push_back(CheckVendorLibrary(
      {"FTDI library", "FTDI", "KYT_FTD2XX_LIBRARY", "ftd2xx.dll", "FTDI's D2XX driver"}, probe,
      d2xx));
  checks.push_back(CheckVendorLibrary({"USBXpress library", "USBXp", "KYT_SIUSBXP_LIBRARY",
                                       "SiUSBXp.dll", "Silicon Labs' USBXpress driver"},
                                      probe, usbxp));
#else
  checks.push_back(CheckModemManager());
  bool ours = false;
  TCheckResult ftdiLibrary =
      CheckVendorLibrary({"FTDI library", "FTDI", "KYT_FTD2XX_LIBRARY", "libftd2xx.so",
                          "FTDI's D2XX driver", "libkyt_ftd2xx.so"},
                         probe, d2xx, &ours);
  checks.push_back(CheckFtdiSio(d2xx, ours));
  checks.push_back(std::move(ftdiLibrary));
  checks.push_back(CheckVendorLibrary({"USBXpress library", "USBXp", "KYT_SIUSBXP_LIBRARY",
                                       "libSiUSBXp.so", "Silicon Labs' USBXpress driver"},
                                      probe, usbxp));
  checks.push_back(CheckHidraw());
#endif
  checks.push_back(CheckCatalogues(library));
  return checks;
}

}  // namespace kyt::host
