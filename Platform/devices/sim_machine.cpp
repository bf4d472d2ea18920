// Simulated machines: the default machine's description and booting a machine
// folder with its room.
#include "kp/machine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <fstream>

#include "kp/clock.h"
#include "kp/io.h"
#include "kp/pnp.h"
#include "kp/registry.h"

namespace kp::machine {
namespace {

namespace fs = std::filesystem;

constexpr char16_t kRoomKey[] = u"\\Registry\\Machine\\SOFTWARE\\KpSim\\Room";
constexpr char16_t kDefaultKey[] = u"\\Registry\\Machine\\SOFTWARE\\KpSim\\Default";

// The folder whose registry.reg Boot loaded; Shutdown saves to it.
fs::path g_bootedFolder;
// Whether that registry.reg was, at boot, as kssim last wrote it.
bool g_bootedUntouched = false;

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

std::string Dword(ULONG v) {
    char text[32];
    std::snprintf(text, sizeof text, "dword:%08x", v);
    return text;
}

ULONG DwordOr(const std::u16string& key, const char16_t* name, ULONG fallback) {
    return kp::reg::GetDword(key, name).value_or(fallback);
}

std::string Narrow(const std::u16string& text) {
    return kp::reg::Utf16ToUtf8(text);
}

// What kssim last wrote into a folder's registry.reg, kept beside it in
// kssim.written as a hash of the file's bytes: a registry.reg that no longer
// matches was changed since, by a tool or by hand.  A machine booted changed
// is saved without a new record, so what a tool installed keeps it changed.
constexpr char kWrittenRecord[] = "kssim.written";

std::string RegistryHash(const fs::path& folder) {
    std::ifstream in(folder / "registry.reg", std::ios::binary);
    if (!in) return "";
    unsigned long long hash = 14695981039346656037ull;  // FNV-1a, 64 bits
    for (char c; in.get(c);) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", hash);
    return text;
}

void RecordWritten(const fs::path& folder) {
    std::ofstream(folder / kWrittenRecord, std::ios::binary | std::ios::trunc)
        << RegistryHash(folder) << "\n";
}

// True when registry.reg is not what kssim last wrote, or nothing says what it wrote.
bool ChangedSinceWritten(const fs::path& folder) {
    std::ifstream in(folder / kWrittenRecord, std::ios::binary);
    std::string recorded;
    return !(in >> recorded) || recorded != RegistryHash(folder);
}

}  // namespace

std::string RegMultiSz(const std::vector<std::string>& strings) {
    std::string out = "hex(7):";
    auto byte = [&](unsigned b) {
        char text[4];
        std::snprintf(text, sizeof text, "%02x,", b);
        out += text;
    };
    for (auto& s : strings) {
        for (char c : s) byte(static_cast<unsigned char>(c)), byte(0);
        byte(0), byte(0);
    }
    byte(0), byte(0);
    out.pop_back();
    return out;
}

std::string ServiceText(const std::string& service, const std::string& imageFile) {
    return "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + service +
           "]\r\n"
           "\"ImagePath\"=\"\\\\SystemRoot\\\\System32\\\\drivers\\\\" +
           Escape(imageFile) +
           "\"\r\n"
           "\"Type\"=dword:00000001\r\n\"Start\"=dword:00000003\r\n\r\n";
}

bool InstallDriverImage(const fs::path& folder, const fs::path& image, std::string* error) {
    std::error_code ec;
    fs::path drivers = folder / "Windows" / "System32" / "drivers";
    fs::create_directories(drivers, ec);
    fs::copy_file(image, drivers / image.filename(), fs::copy_options::overwrite_existing, ec);
    if (ec) {
        *error = "cannot install " + image.string() + ": " + ec.message();
        return false;
    }
    return true;
}

std::vector<SimDevice> DefaultDevices() {
    SimDevice camera;
    camera.Instance = "USB\\VID_2A1C&PID_0C41&MI_01\\6&2F1A33&0&0001";
    camera.Profile = "camera";
    camera.RoomName = "camera";
    camera.Description = "Korvane USB camera microphone";
    SimDevice card;
    card.Instance = "PCI\\VEN_8086&DEV_293E&SUBSYS_02841028\\3&21436425&0&D8";
    card.Profile = "speaker";
    card.RoomName = "speaker";
    card.Description = "Sound card loudspeaker";
    return {camera, card};
}

std::string DefaultRoomText() {
    std::string room = "HKEY_LOCAL_MACHINE\\SOFTWARE\\KpSim\\Room";
    return "[" + room +
           "\\Paths\\0]\r\n\"From\"=\"speaker\"\r\n\"To\"=\"camera\"\r\n\"DelayMs\"=" + Dword(40) +
           "\r\n\"GainPermille\"=" + Dword(316) + "\r\n\"TailMs\"=" + Dword(30) +
           "\r\n\"TailDecayMs\"=" + Dword(8) + "\r\n\r\n[" + room +
           "\\NearEnd\\camera]\r\n\"File\"=\"C:\\\\Program Files\\\\KpSim\\\\near.wav\"\r\n" +
           "\"GainPermille\"=" + Dword(500) + "\r\n\r\n[" + room +
           "\\Noise\\camera]\r\n\"RmsMicro\"=" + Dword(300) + "\r\n\r\n";
}

std::string RegistryText(const std::vector<SimDevice>& devices, const std::string& extra) {
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
    text += ServiceText("KpSimAudio", "KpSimAudio.sys");
    for (size_t index = 0; index < devices.size(); ++index) {
        const SimDevice& d = devices[index];
        std::string software = d.Driver;
        if (software.empty() && !d.ClassGUID.empty()) {
            char number[8];
            std::snprintf(number, sizeof number, "%04zu", index % 10000);
            software = d.ClassGUID + "\\" + number;
        }
        std::string key = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" + d.Instance;
        text += "[" + key + "]\r\n";
        std::string hardwareId = d.Instance.substr(0, d.Instance.rfind('\\'));
        text += "\"HardwareID\"=" + RegMultiSz({hardwareId}) + "\r\n";
        text += "\"Service\"=\"KpSimAudio\"\r\n";
        text += "\"DeviceDesc\"=\"" + Escape(d.Description) + "\"\r\n";
        if (!d.ClassGUID.empty()) text += "\"ClassGUID\"=\"" + Escape(d.ClassGUID) + "\"\r\n";
        if (!software.empty()) text += "\"Driver\"=\"" + Escape(software) + "\"\r\n";
        if (!d.UpperFilters.empty())
            text += "\"UpperFilters\"=" + RegMultiSz(d.UpperFilters) + "\r\n";
        text += "\r\n[" + key + "\\Device Parameters]\r\n";
        text += "\"SimProfile\"=\"" + Escape(d.Profile) + "\"\r\n";
        text += "\"RoomName\"=\"" + Escape(d.RoomName) + "\"\r\n";
        text += "\"CaptureSource\"=\"" + Escape(d.CaptureSource) + "\"\r\n";
        text += "\"CaptureChannels\"=" + Dword(d.CaptureChannels) + "\r\n";
        text += "\"FilterName\"=\"" + Escape(d.FilterName) + "\"\r\n";
        if (d.ClockOffsetPpm != 0)
            text += "\"ClockOffsetPpm\"=" + Dword(static_cast<ULONG>(d.ClockOffsetPpm)) + "\r\n";
        if (d.KernelStreamMdl) text += "\"KernelStreamMdl\"=" + Dword(1) + "\r\n";
        text += "\r\n";
        if (!software.empty()) {
            text += "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + software +
                    "]\r\n";
            for (const auto& [name, value] : d.DriverOptions)
                text += "\"" + Escape(name) + "\"=" + Dword(value) + "\r\n";
            text += "\r\n";
        }
    }
    return text + extra;
}

std::string DefaultMarkerText(const std::string& kind, ULONG version) {
    return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KpSim\\Default]\r\n\"Version\"=" + Dword(version) +
           "\r\n\"Kind\"=\"" + Escape(kind) + "\"\r\n\r\n";
}

std::optional<DefaultWrite> CreateDefault(const fs::path& folder, const fs::path& nearEndWav,
                                          std::string* error, const DefaultMachine& machine,
                                          bool rewriteChanged) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        *error = "cannot create " + folder.string() + ": " + ec.message();
        return std::nullopt;
    }
    fs::path file = folder / "registry.reg";
    DefaultWrite result = DefaultWrite::Written;
    if (fs::exists(file)) {
        // Read apart from the machine's own store, which may be in use.
        kp::reg::Store existing;
        std::string why;
        if (!existing.LoadFile(file, &why)) {
            *error = "cannot read " + file.string() + ": " + why;
            return std::nullopt;
        }
        kp::reg::KeyRef key;
        if (!NT_SUCCESS(existing.OpenKey({}, kDefaultKey, &key))) return DefaultWrite::Kept;
        kp::reg::ValueData version, kind;
        bool current = NT_SUCCESS(existing.QueryValue(key, u"Version", &version)) &&
                       version.Type == REG_DWORD && version.Data.size() == 4 &&
                       (version.Data[0] | version.Data[1] << 8 | version.Data[2] << 16 |
                        static_cast<ULONG>(version.Data[3]) << 24) >= kDefaultMachineVersion &&
                       NT_SUCCESS(existing.QueryValue(key, u"Kind", &kind)) &&
                       Narrow(kp::reg::StringFromBytes(kind.Data)) == machine.Kind;
        if (current) return DefaultWrite::Kept;
        // What a tool installed since is not written over unasked.
        if (!rewriteChanged && ChangedSinceWritten(folder)) {
            *error = folder.string() +
                     " holds an older default machine or one of another scenario, and its "
                     "registry.reg changed after kssim last wrote it: it is left as it is "
                     "(--rewrite-machine writes it again as the " +
                     machine.Kind + " machine)";
            return std::nullopt;
        }
        result = DefaultWrite::Rewritten;
    }
    if (!nearEndWav.empty()) {
        fs::path target = folder / "Program Files" / "KpSim";
        fs::create_directories(target, ec);
        fs::copy_file(nearEndWav, target / "near.wav", fs::copy_options::overwrite_existing, ec);
        if (ec) {
            *error = "cannot copy " + nearEndWav.string() + ": " + ec.message();
            return std::nullopt;
        }
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << RegistryText(machine.Devices,
                        DefaultRoomText() + machine.Extra + DefaultMarkerText(machine.Kind));
    out.close();
    if (!out) {
        *error = "cannot write " + file.string();
        return std::nullopt;
    }
    RecordWritten(folder);
    return result;
}

namespace {

// A path's values from its key, each absent one kept as Path has it.
void ReadPathValues(const std::u16string& key, kp::sim::EchoPath* p) {
    if (auto v = kp::reg::GetString(key, u"From")) p->From = Narrow(*v);
    if (auto v = kp::reg::GetString(key, u"To")) p->To = Narrow(*v);
    p->DelayMs = DwordOr(key, u"DelayMs", static_cast<ULONG>(p->DelayMs));
    if (auto v = kp::reg::GetDword(key, u"GainPermille")) p->Gain = *v / 1000.0;
    if (auto v = kp::reg::GetDword(key, u"TailMs")) p->TailMs = *v;
    if (auto v = kp::reg::GetDword(key, u"TailDecayMs")) p->TailDecayMs = *v;
    // A reverberation time, where given, sets the decay: the tail's amplitude
    // falls 60 dB (a thousandth) in it.
    if (auto v = kp::reg::GetDword(key, u"Rt60Ms")) p->TailDecayMs = *v / std::log(1000.0);
    if (auto v = kp::reg::GetDword(key, u"DirectToReverbCentiDb"))
        p->TailEnergy = std::pow(10.0, -static_cast<LONG>(*v) / 1000.0);
}

}  // namespace

bool LoadRoom(const WavReader& reader, std::string* error) {
    kp::sim::RoomClear();
    std::u16string room = kRoomKey;
    std::map<std::string, kp::sim::EchoPath> paths;  // as the changes leave them, by name
    for (const std::u16string& n : kp::reg::SubKeyNames(room + u"\\Paths")) {
        std::u16string key = room + u"\\Paths\\" + n;
        kp::sim::EchoPath p;
        p.Name = Narrow(n);
        p.DelayMs = 40;
        p.Gain = 0.3;
        p.TailDecayMs = 10;
        ReadPathValues(key, &p);
        if (p.From.empty() || p.To.empty()) {
            *error = "room path " + Narrow(n) + " needs From and To";
            return false;
        }
        kp::sim::RoomAddPath(p);
        paths[p.Name] = p;
    }
    // Changes during the run, applied in time order on what the earlier ones left.
    std::vector<std::pair<ULONG, std::u16string>> changes;
    for (const std::u16string& n : kp::reg::SubKeyNames(room + u"\\Changes")) {
        std::u16string key = room + u"\\Changes\\" + n;
        auto at = kp::reg::GetDword(key, u"AtMs");
        if (!at || !kp::reg::GetString(key, u"Path")) {
            *error = "room change " + Narrow(n) + " needs AtMs and Path";
            return false;
        }
        changes.emplace_back(*at, key);
    }
    std::stable_sort(changes.begin(), changes.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    // Timed from this boot; the room counts from the clock's start.
    const double bootMs = static_cast<double>(KpClockNow() - KpClockBootTime()) / 1e4;
    for (const auto& [at, key] : changes) {
        kp::sim::PathChange c;
        c.AtMs = bootMs + at;
        std::string name = Narrow(*kp::reg::GetString(key, u"Path"));
        c.Remove = DwordOr(key, u"Remove", 0) != 0;
        auto known = paths.find(name);
        if (known != paths.end()) {
            c.Path = known->second;
        } else {  // a path that appears
            c.Path.Name = name;
            c.Path.DelayMs = 40;
            c.Path.Gain = 0.3;
            c.Path.TailDecayMs = 10;
        }
        if (!c.Remove) {
            ReadPathValues(key, &c.Path);
            if (c.Path.From.empty() || c.Path.To.empty()) {
                *error = "room change at " + std::to_string(at) + " ms: path " + name +
                         " needs From and To";
                return false;
            }
            paths[name] = c.Path;
        } else {
            paths.erase(name);
        }
        kp::sim::RoomAddChange(c);
    }
    for (const std::u16string& n : kp::reg::SubKeyNames(room + u"\\NearEnd")) {
        std::u16string key = room + u"\\NearEnd\\" + n;
        kp::sim::NearEnd near;
        near.Device = Narrow(n);
        near.Gain = DwordOr(key, u"GainPermille", 500) / 1000.0;
        near.Rate = DwordOr(key, u"Rate", 16000);
        std::u16string file = kp::reg::GetString(key, u"File").value_or(u"");
        if (!file.empty()) {
            auto path = KpMapWindowsPath(file);
            if (!path || !reader || !reader(*path, &near.Samples, &near.Rate) ||
                near.Samples.empty()) {
                *error = "cannot read the near-end file " + Narrow(file);
                return false;
            }
        }
        kp::sim::RoomSetNearEnd(near);
    }
    for (const std::u16string& n : kp::reg::SubKeyNames(room + u"\\Noise")) {
        std::u16string key = room + u"\\Noise\\" + n;
        kp::sim::RoomSetNoise(Narrow(n), DwordOr(key, u"RmsMicro", 0) / 1e6);
    }
    return true;
}

NTSTATUS Boot(const fs::path& folder, const WavReader& reader, std::string* error) {
    g_bootedFolder.clear();
    if (!KpMachineSetFolder(folder, error)) return STATUS_OBJECT_PATH_NOT_FOUND;
    g_bootedUntouched = !ChangedSinceWritten(folder);
    kp::sim::RegisterDriver();
    if (!KpMachineLoadRegistry(error)) return STATUS_OBJECT_NAME_NOT_FOUND;
    g_bootedFolder = KpMachineFolder();
    if (!LoadRoom(reader, error)) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = KpPnpEnumerateAll();
    if (!NT_SUCCESS(status)) *error = "a device failed to start";
    // Drivers finish starting in work items (a master hooks its slaves from
    // one): the machine is up when they have run, so that what follows, a
    // shutdown included, never races a device still being hooked.
    KpIoDrainWorkQueues();
    return status;
}

bool Shutdown(std::string* error) {
    // The drivers write their options and parameters while their devices go
    // away, so the registry is saved only after that.
    KpPnpShutdown();
    bool saved = true;
    if (!g_bootedFolder.empty()) {
        std::string why;
        saved = KpMachineSaveRegistry(&why);
        if (!saved) {
            DbgPrint("KP machine: cannot save the registry: %s\n", why.c_str());
            if (error) *error = why;
        } else if (g_bootedUntouched) {
            RecordWritten(g_bootedFolder);
        }
        g_bootedFolder.clear();
    }
    kp::sim::RoomClear();
    kp::reg::Machine().Clear();
    return saved;
}

}  // namespace kp::machine
