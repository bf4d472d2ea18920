// Host-only: simulated machines with KS audio devices.  A machine folder's
// registry.reg describes the devices (Enum entries served by the built-in
// "KpSimAudio" driver, with "Device Parameters" as kp/simaudio.h lists) and the
// room between them, under HKLM\SOFTWARE\KpSim\Room:
//   Paths\<n>:  "From", "To" (room names), "DelayMs", "GainPermille", "TailMs",
//               "TailDecayMs" (DWORDs)
//   NearEnd\<room name>: "File" (a Windows path in the machine, empty: the
//               speech-like generator), "GainPermille", "Rate" (of the generator)
//   Noise\<room name>: "RmsMicro" (noise RMS in millionths of full scale)
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "kp/simaudio.h"

namespace kp::machine {

struct SimDevice {
    std::string Instance;  // "USB\VID_...\..."
    std::string Profile;   // "camera", "speaker", "full"
    std::string RoomName;
    std::string Description;
    std::string CaptureSource = "room";
    ULONG CaptureChannels = 1;
    std::vector<std::string> UpperFilters;
};

// The built-in default: a USB camera with a microphone ("camera") and a sound
// card with a loudspeaker ("speaker"), 40 ms and -10 dB of echo path between
// them, the near-end talker at the camera and a little noise.
std::vector<SimDevice> DefaultDevices();
std::string DefaultRoomText();
// registry.reg text: header, the KpSimAudio service, the devices, and Extra.
std::string RegistryText(const std::vector<SimDevice>& devices, const std::string& extra = "");
// A driver service of an image in the machine's drivers folder (a filter driver
// named in a device's UpperFilters, for example), as .reg text.
std::string ServiceText(const std::string& service, const std::string& imageFile);
// Copies a built driver image into <folder>\Windows\System32\drivers.
bool InstallDriverImage(const std::filesystem::path& folder, const std::filesystem::path& image,
                        std::string* error);
// A .reg multi-string value ("hex(7):...").
std::string RegMultiSz(const std::vector<std::string>& strings);

// Creates the default machine in Folder when it has no registry.reg yet.
// NearEndWav, when given, is copied to "C:\Program Files\KpSim\near.wav".
bool CreateDefault(const std::filesystem::path& folder, const std::filesystem::path& nearEndWav,
                   std::string* error);

// Reads a WAV file as mono floats; supplied by the caller (the platform has no
// audio file library).
using WavReader =
    std::function<bool(const std::filesystem::path&, std::vector<float>*, ULONG* rate)>;

// Sets the folder, registers the built-in driver, loads the registry, sets up
// the room from it and enumerates every device.
NTSTATUS Boot(const std::filesystem::path& folder, const WavReader& reader, std::string* error);
// Reads the room from the registry (replacing the room).
bool LoadRoom(const WavReader& reader, std::string* error);
// Removes every device, unloads the drivers, clears the room and the registry.
void Shutdown();

}  // namespace kp::machine
