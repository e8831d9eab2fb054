// Where the workbench keeps its settings in the registry store (platform/registry.h).
//
// The application profile is the current user's key "Software\VO DAROR" followed by the
// application's name "Q9"; sections such as "Settings" and "Recent File List" are keys below it.
#pragma once

#include <string_view>

namespace talvek {

// The application profile's key; every section of the workbench's settings lies below it.
inline constexpr std::string_view kAppProfileKey = "HKEY_CURRENT_USER\\Software\\VO DAROR\\Q9";

// The "Settings" section.
inline constexpr std::string_view kSettingsKey =
    "HKEY_CURRENT_USER\\Software\\VO DAROR\\Q9\\Settings";

// Value of "Settings" holding the folder of the project last opened or created (GBK bytes, as the
// project state keeps it).
inline constexpr std::string_view kCurrentProjectValue = "当前项目路径";

}  // namespace talvek
