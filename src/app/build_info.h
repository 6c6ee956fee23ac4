#pragma once

namespace quarn {

// The version the program reports.
inline constexpr char kQuarnVersion[] = "2.4.0";

// Facts about the build, generated when the program is built.
extern const char kBuildGitSha[];  // the commit built, 40 lower-case hex digits; zeros outside git
extern const bool kBuildDirty;     // the working tree had uncommitted changes
extern const char kBuildDate[];    // "Dec  8 2026 20:30:07"

}  // namespace quarn
