// The maker's USB IDs that the per-device install options are keyed by: the
// vendor and two of its camera products.  Product A's audio interface 1 makes
// the echo canceller's master device; product B's interface 0 is bridged by
// Mutewell instead.
#pragma once

inline constexpr unsigned kKorvaneVendorId = 0x2A1C;
inline constexpr unsigned kCameraProductA = 0x0C41;
inline constexpr unsigned kCameraProductB = 0x0C42;
