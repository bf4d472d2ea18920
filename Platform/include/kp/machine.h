// Host-only: simulated machines with KS audio devices.  A machine folder's
// registry.reg describes the devices (Enum entries served by the built-in
// "KpSimAudio" driver, with "Device Parameters" as kp/simaudio.h lists) and the
// room between them, under HKLM\SOFTWARE\KpSim\Room:
//   Paths\<n>:  "From", "To" (room names), "DelayMs", "GainPermille", "TailMs",
//               "TailDecayMs" (DWORDs)
//   NearEnd\<room name>: "File" (a Windows path in the machine, empty: the
//               speech-like generator), "GainPermille", "Rate" (of the generator)
//   Noise\<room name>: "RmsMicro" (noise RMS in millionths of full scale)
// A machine that CreateDefault wrote carries HKLM\SOFTWARE\KpSim\Default:
//   "Version" (DWORD, kDefaultMachineVersion when written), "Kind" (REG_SZ, the
//   scenario the default was written for, for example "echowell").
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kp/simaudio.h"

namespace kp::machine {

inline constexpr char kMediaClassGuid[] = "{4d36e96c-e325-11ce-bfc1-08002be10318}";

struct SimDevice {
    std::string Instance;  // "USB\VID_...\..."
    std::string Profile;   // "camera", "speaker", "full"
    std::string RoomName;
    std::string Description;
    std::string CaptureSource = "room";
    ULONG CaptureChannels = 1;
    // The interface reference string (Device Parameters "FilterName").
    std::string FilterName = "Wave";
    std::vector<std::string> UpperFilters;
    // Setup class: the PnP manager adds Control\Class\<ClassGUID>'s filter lists.
    std::string ClassGUID = kMediaClassGuid;
    // Software key under Control\Class ("{class guid}\NNNN"); empty: the class
    // and the device's position in the list, four digits.
    std::string Driver;
    // DWORD values in the software key (the drivers' per-device options, for
    // example "ZAECAudioFilterMaster" = 1).
    std::vector<std::pair<std::string, ULONG>> DriverOptions;
    // The device's sample clock against the machine clock, in parts per million
    // (Device Parameters "ClockOffsetPpm", a DWORD holding a signed value).
    LONG ClockOffsetPpm = 0;
    // Device Parameters "KernelStreamMdl": a locked MDL on every kernel-mode
    // stream request, as a real device's lower edge builds one.
    bool KernelStreamMdl = false;
};

// The built-in default: a USB camera with a microphone ("camera") and a sound
// card with a loudspeaker ("speaker"), 40 ms and -10 dB of echo path between
// them, the near-end talker at the camera and a little noise.
std::vector<SimDevice> DefaultDevices();
std::string DefaultRoomText();
// registry.reg text: header, the KpSimAudio service, the devices (Enum entry,
// Device Parameters, software key with the options), and Extra.
std::string RegistryText(const std::vector<SimDevice>& devices, const std::string& extra = "");
// A driver service of an image in the machine's drivers folder (a filter driver
// named in a device's UpperFilters, for example), as .reg text.
std::string ServiceText(const std::string& service, const std::string& imageFile);
// Copies a built driver image into <folder>\Windows\System32\drivers.
bool InstallDriverImage(const std::filesystem::path& folder, const std::filesystem::path& image,
                        std::string* error);
// A .reg multi-string value ("hex(7):...").
std::string RegMultiSz(const std::vector<std::string>& strings);

// The version of what CreateDefault writes; raised whenever the default machine
// changes, so that folders holding an older default are written again.
inline constexpr ULONG kDefaultMachineVersion = 2;

// What a default machine holds: its devices and the .reg text after the room
// (the services of filters named in UpperFilters, for example).  Kind names
// what it was written for.
struct DefaultMachine {
    std::vector<SimDevice> Devices = DefaultDevices();
    std::string Extra;
    std::string Kind = "plain";
};

// The marker that CreateDefault writes into a default machine, as .reg text.
std::string DefaultMarkerText(const std::string& kind, ULONG version = kDefaultMachineVersion);

enum class DefaultWrite {
    Written,    // there was no registry.reg
    Rewritten,  // it held an older default, or one of another kind
    Kept,       // it holds this default already, or a machine made by hand (no marker)
};

// Writes Machine as the default machine in Folder (with the marker) when its
// registry.reg is missing or holds a default of an older version or another
// kind; a registry.reg without the marker is somebody's own machine and stays.
// A marked registry.reg that changed after kssim last wrote it (here or when
// Shutdown saved it; recorded in kssim.written beside it) holds what a tool
// installed since: it is written again only with RewriteChanged, else the
// result is nothing and Error says so.
// NearEndWav, when given, is copied to "C:\Program Files\KpSim\near.wav".
// Nothing on failure (Error says why).
std::optional<DefaultWrite> CreateDefault(const std::filesystem::path& folder,
                                          const std::filesystem::path& nearEndWav,
                                          std::string* error, const DefaultMachine& machine = {},
                                          bool rewriteChanged = false);

// Reads a WAV file as mono floats; supplied by the caller (the platform has no
// audio file library).
using WavReader =
    std::function<bool(const std::filesystem::path&, std::vector<float>*, ULONG* rate)>;

// Sets the folder, registers the built-in driver, loads the registry, sets up
// the room from it and enumerates every device; returns once the work items the
// drivers queued while starting have run.  Remembers the folder once its
// registry has loaded, for Shutdown to save to.
NTSTATUS Boot(const std::filesystem::path& folder, const WavReader& reader, std::string* error);
// Reads the room from the registry (replacing the room).
bool LoadRoom(const WavReader& reader, std::string* error);
// Removes every device and unloads the drivers; then, when Boot loaded the
// registry from a machine folder, writes it back to that folder's registry.reg
// (atomically, volatile keys left out) so that what the drivers stored persists;
// then clears the room and the registry.  Without such a Boot (none, or one whose
// registry failed to load) nothing is written.  False (and Error) when the save
// failed.
bool Shutdown(std::string* error = nullptr);

}  // namespace kp::machine
