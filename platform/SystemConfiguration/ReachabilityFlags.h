#pragma once

#include <cstdint>

namespace platform {

// What a reachability reference reports about its target: a set of the bits
// below, with the values the platform has always given them (callers test
// them by value, so the values are part of the interface).
using SCNetworkReachabilityFlags = uint32_t;

// Reached only over a connection set up for the purpose and taken down again.
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsTransientConnection = 0x1;
// Reachable with the current configuration.
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsReachable = 0x2;
// Could be reached, but a connection must be established first.
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsConnectionRequired = 0x4;
// The required connection comes up by itself when traffic is sent.
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsConnectionOnTraffic = 0x8;
// The required connection needs the user's action (a password, a consent).
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsInterventionRequired = 0x10;
// The required connection comes up by itself when a program asks for it.
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsConnectionOnDemand = 0x20;
// An address of this machine.
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsIsLocalAddress = 0x10000;
// Reached directly, through no gateway.
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsIsDirect = 0x20000;
// Reached over a cellular (WWAN) interface.
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsIsWWAN = 0x40000;

inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsConnectionAutomatic =
    kSCNetworkReachabilityFlagsConnectionOnTraffic;

}  // namespace platform
