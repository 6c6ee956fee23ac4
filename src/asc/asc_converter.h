#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/dyn_string.h"
#include "batch/converter.h"

namespace quarn {

// The converter that collects the CAN and LIN frames of each log and writes them, sorted by
// time, as ASC traces: NAME.asc for CAN frames and NAME_LIN.asc for LIN frames, each only when
// there is a frame of its kind. Null when memory runs out or an argument is missing. The file
// systems and the options are borrowed and must outlive the converter.
//
// A trace that fails anywhere is closed and removed, so no partial trace is left behind. A frame
// that cannot be kept in memory fails handle_record, and end_file then writes no trace for that
// log; nor does it for a log in which an earlier step failed (Converter::file_failed). With
// delete_converted, end_file succeeds only once the traces are on stable storage, because the
// input is removed right after it.
std::unique_ptr<Converter> asc_converter_create(FileSystem* input_fs, FileSystem* output_fs,
                                                const RunOptions* options);

// Appends printf-style text formatted by stb_sprintf, growing the line when needed. False, with
// the line as it was, when the line cannot grow; a trace line must then not be written.
bool asc_append_format(DynString& line, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Appends the bytes as uppercase hex pairs separated by one blank ("01 AB FF"); nothing for 0.
// False, with the line as it was, when the line cannot grow.
bool asc_append_hex_bytes(DynString& line, const std::uint8_t* bytes, std::size_t count);

}  // namespace quarn
