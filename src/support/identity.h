// The build's identity: the client it serves and the tool's version, fixed
// by the CMake cache variables KORVANA_CLIENT_TAG and KORVANA_TOOL_VERSION.
#pragma once

inline constexpr char CLIENT_TAG[] = KORVANA_CLIENT_TAG;
inline constexpr int TOOL_VERSION = KORVANA_TOOL_VERSION;
