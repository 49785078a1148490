#pragma once

// The client library's name and version as they appear in log lines, in the
// "User-Agent" header and in the local "tlmVersion" field of stored hits.
inline constexpr char kTLMProductName[] = "HaldenAnalytics";
inline constexpr char kTLMLibraryBuildVersion[] = "3.20";
