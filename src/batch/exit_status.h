#pragma once

namespace quarn {

// Exit statuses; 1, 8 and 129 are OR-combined over the inputs.
inline constexpr int kStatusOk = 0;
inline constexpr int kStatusInputMissing = 1;
inline constexpr int kStatusConvertFailed = 8;
inline constexpr int kStatusBadPath = 129;       // neither file nor folder; or a failed query
inline constexpr int kStatusMissingValue = 130;  // an option without its value
inline constexpr int kStatusBadInteger = 131;    // an integer option that does not parse, or a bad verbosity
inline constexpr int kStatusNoCommonRoot = 132;
inline constexpr int kStatusSetupFailed = 133;  // the run could not be set up; nothing converted
inline constexpr int kStatusParseError = 134;   // and a --format or --input-format value that names no format

}  // namespace quarn
