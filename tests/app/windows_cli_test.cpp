// What only the Windows program has to get right: drive paths and their common root, paths past
// 260 characters, names outside the ANSI code page, replacing a trace from an earlier run, a file
// another program holds open, Ctrl-C, and a run that is killed. Built and run only for Windows
// (under Wine in CI); cli_test.cpp covers what both programs share.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/cli_run.h"
#include "base/dyn_string.h"
#include "batch/input_walk.h"
#include "io/input_path.h"
#include "logging/report.h"
#include "gen_log.h"
#include "support/capture.h"
#include "support/generated_log.h"
#include "support/temp_dir.h"

namespace quarn {
namespace {

using test::CliRun;
using test::diagnostics_of;
using test::read_file;
using test::TempDir;
using test::write_file;
using Lines = std::vector<std::string>;

// --- Files past 260 characters, without the C library --------------------------------------------

std::wstring long_form(const std::string& utf8) {
  std::wstring w = test::fs_path(utf8).wstring();
  std::replace(w.begin(), w.end(), L'/', L'\\');
  return L"\\\\?\\" + w;
}

bool long_make_dir(const std::string& path) { return CreateDirectoryW(long_form(path).c_str(), nullptr) != 0; }

bool long_write(const std::string& path, const std::string& content) {
  HANDLE h = CreateFileW(long_form(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD n = 0;
  bool ok = WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &n, nullptr) != 0 && n == content.size();
  return CloseHandle(h) != 0 && ok;
}

// The content, or "<missing>".
std::string long_read(const std::string& path) {
  HANDLE h = CreateFileW(long_form(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  std::string out;
  char buffer[65536];
  DWORD n = 0;
  while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) != 0 && n > 0) out.append(buffer, n);
  CloseHandle(h);
  return out;
}

// Every file below `folder` (relative, "/"-separated, in byte order), however long its path.
Lines long_tree(const std::string& folder, const std::string& prefix = "") {
  Lines out;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((long_form(folder) + L"\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return out;
  do {
    std::wstring w = entry.cFileName;
    if (w == L"." || w == L"..") continue;
    std::u8string u8 = std::filesystem::path(w).u8string();
    std::string name(u8.begin(), u8.end());
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      Lines below = long_tree(folder + "/" + name, prefix + name + "/");
      out.insert(out.end(), below.begin(), below.end());
    } else {
      out.push_back(prefix + name);
    }
  } while (FindNextFileW(find, &entry) != 0);
  FindClose(find);
  std::sort(out.begin(), out.end());
  return out;
}

// A whole trace with one CANFD line per frame.
bool is_trace(const std::string& asc, std::int64_t frames) {
  return asc.rfind("date ", 0) == 0 && asc.size() > 17 && asc.compare(asc.size() - 17, 17, "End Triggerblock\n") == 0 &&
         std::count(asc.begin(), asc.end(), '\n') == frames + 4;
}

class WindowsCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = dir_ / "data";
    test::make_dirs(data_);
  }
  std::string at(const std::string& relative) const { return data_ + "/" + relative; }
  void log(const std::string& relative, std::uint64_t seed = 1, std::int64_t frames = 20) {
    ASSERT_TRUE(long_write(at(relative), test::generated_log(seed, frames))) << relative;
  }
  CliRun run(const Lines& args, const std::string& cwd = "") {
    return test::run_quarn(cwd.empty() ? data_ : cwd, args);
  }

  TempDir dir_;
  std::string data_;
};

// --- Drive paths -----------------------------------------------------------------------------------

TEST(WindowsPathsTest, DriveLettersAnchorTheCommonRoot) {
  struct Case {
    Lines inputs;
    bool found;
    std::string root;
    Lines relative;
  } cases[] = {
      {{"C:/data/logs/"}, true, "C:/data/", {"logs/"}},
      {{"C:/data/a.txt", "C:/data/logs/"}, true, "C:/data/", {"a.txt", "logs/"}},
      // The top folder of a drive is the root of what lies directly in it, and has none itself.
      {{"C:/x.txt"}, true, "C:/", {"x.txt"}},
      {{"D:/logs/"}, true, "D:/", {"logs/"}},
      {{"C:/"}, false, "", {}},
      {{"C:/a.txt", "D:/b.txt"}, false, "", {}},
      // A network share is a root as a drive's top folder is, and has none itself: "//server/"
      // names no folder.
      {{"//server/share/x.txt"}, true, "//server/share/", {"x.txt"}},
      {{"//server/share/a/", "//server/share/b.txt"}, true, "//server/share/", {"a/", "b.txt"}},
      {{"//server/share/a/x.txt"}, true, "//server/share/a/", {"x.txt"}},
      {{"//server/share/"}, false, "", {}},
      {{"//server/share"}, false, "", {}},
      {{"//server/share/x.txt", "C:/share/y.txt"}, false, "", {}},
  };
  for (const Case& c : cases) {
    DynStringList inputs;
    for (const std::string& s : c.inputs) {
      DynString d;
      dynstr_from(d, s.c_str());
      ASSERT_TRUE(dynstr_list_push(inputs, d));
    }
    DynString root;
    int status = 0;
    test::StderrCapture capture;
    bool found = find_common_root(inputs, root, status);
    capture.text();
    EXPECT_EQ(found, c.found) << c.inputs[0];
    if (!c.found) {
      EXPECT_EQ(status, kStatusNoCommonRoot) << c.inputs[0];
      continue;
    }
    EXPECT_EQ(std::string(dynstr_data(root)), c.root);
    for (std::size_t i = 0; i < c.relative.size(); ++i) {
      EXPECT_EQ(std::string(dynstr_data(inputs.items[static_cast<std::int64_t>(i)])), c.relative[i]);
    }
  }
}

TEST_F(WindowsCliTest, DrivePathsInEveryFormConvertTheSameFolder) {
  test::make_dirs(at("logs/day1"));
  test::make_dirs(at("elsewhere"));
  log("logs/day1/trip.txt", 1, 12);
  const std::string drive = data_.substr(0, 2);  // "C:"
  std::string backslashed = at("logs");
  std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
  struct Case {
    const char* what;
    std::string cwd;
    std::string input;
  } cases[] = {
      {"forward slashes", data_, at("logs")},
      {"backslashes", data_, backslashed},
      {"a bare drive: its current folder", at("logs"), drive},
      {"the drive's current folder and ..", at("elsewhere"), drive + "..\\logs"},
      {"rooted without a drive", at("elsewhere"), at("logs").substr(2)},
      {"relative", at("elsewhere"), "..\\logs\\"},
      {"the long form", at("elsewhere"), "\\\\?\\" + backslashed},
      {"the device form", at("elsewhere"), "\\\\.\\" + backslashed + "\\"},
      // As cmd.exe and PowerShell hand them over: wildcards left to the program, and "..\logs\"
      // in quotes read by the run-time as ..\logs".
      {"a wildcard", data_, at("l?gs")},
      {"a wildcard from the working folder", at("elsewhere"), "..\\lo*"},
      {"a trailing quote", at("elsewhere"), "..\\logs\""},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(test::fs_path(at("logs_out")));
    CliRun r = run({c.input}, c.cwd);
    EXPECT_EQ(r.status, 0) << c.what << ": " << r.err;
    EXPECT_EQ(r.err, "") << c.what;
    EXPECT_TRUE(is_trace(long_read(at("logs_out/day1/trip.asc")), 12)) << c.what;
  }
}

TEST_F(WindowsCliTest, TheTopFolderOfADriveHasNoRoot) {
  CliRun r = run({data_.substr(0, 3)});
  EXPECT_EQ(r.status, 132);
  EXPECT_EQ(diagnostics_of(r.err), Lines{"F: Could not find root for " + data_.substr(0, 2) + "/"});
}

// --- The command line as Windows shells hand it over ------------------------------------------------

// Starts quarn through cmd.exe with `tail` after the program's name, as typed at its prompt; the
// diagnostics go to a file through cmd's own redirection.
CliRun run_in_cmd(const std::string& cwd, const std::string& tail) {
  TempDir capture;
  const std::string err = capture / "err";
  const std::string out = capture / "out";
  std::wstring line = L"cmd.exe /d /s /c \"\"" + test::fs_path(QUARN_EXE).wstring() + L"\" " +
                      test::fs_path(tail).wstring() + L" >\"" + test::fs_path(out).wstring() + L"\" 2>\"" +
                      test::fs_path(err).wstring() + L"\"\"";
  std::wstring folder = test::fs_path(cwd).wstring();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  CliRun r;
  if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup, &process) ==
      0) {
    ADD_FAILURE() << "cmd.exe could not be started: " << GetLastError();
    return r;
  }
  CloseHandle(process.hThread);
  if (WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0) {
    DWORD code = 0;
    if (GetExitCodeProcess(process.hProcess, &code) != 0) r.status = static_cast<int>(code);
  } else {
    TerminateProcess(process.hProcess, 1);
    ADD_FAILURE() << "cmd.exe did not finish";
  }
  CloseHandle(process.hProcess);
  r.out = read_file(out);
  r.err = read_file(err);
  return r;
}

// Windows shells leave "*" and "?" to the program, quoted or not, and the run-time reads "logs\"
// in quotes as logs". Started directly and through cmd.exe.
TEST_F(WindowsCliTest, ArgumentsAreReadAsWindowsShellsMeanThem) {
  const std::string quote_note =
      "D: Took the argument logs\" as logs: a backslash before a closing quote kept the quote in the argument";
  // cmd.exe leaves a blank where each redirection was, inside the quotes the run-time still reads.
  const std::string cmd_quote_note =
      "D: Took the argument logs\"   as logs: a backslash before a closing quote kept the quote in the argument";
  const std::string counted = "I: Converted 2 of 2 logs, 27 frames, 0 failed";
  struct Case {
    const char* what;
    bool cmd;
    Lines args;  // through cmd.exe: one line, as typed
    int status;
    Lines diagnostics;
    Lines traces;
  } cases[] = {
      {"a wildcard", false, {"*.txt"}, 0, {}, {"a.asc", "b.asc"}},
      {"wildcards in a folder", false, {"-X", "logs\\?.txt", "logs/*3*"}, 0, {}, {"logs/c.asc", "logs/d3.asc"}},
      {"a wildcard that matches nothing",
       false,
       {"--verbosity", "2", "a.txt", "x*.txt"},
       1,
       {"W: Could not find input file/folder x*.txt"},
       {"a.asc"}},
      {"a trailing quote",
       false,
       {"--verbosity", "4", "logs\""},
       0,
       {quote_note, counted},
       {"logs_out/c.asc", "logs_out/d3.asc"}},
      {"-O with a trailing quote", false, {"-O", "out\"", "a.txt"}, 0, {}, {"out/a.asc"}},
      {"a wildcard from cmd.exe", true, {"*.txt"}, 0, {}, {"a.asc", "b.asc"}},
      {"a quoted wildcard from cmd.exe",
       true,
       {"--verbosity 2 \"?.txt\" \"x*\""},
       1,
       {"W: Could not find input file/folder x*"},
       {"a.asc", "b.asc"}},
      {"a trailing quote from cmd.exe",
       true,
       {"--verbosity 4 \"logs\\\""},
       0,
       {cmd_quote_note, counted},
       {"logs_out/c.asc", "logs_out/d3.asc"}},
  };
  test::make_dirs(at("logs"));
  test::make_dirs(at("out"));
  log("a.txt", 1, 11);
  log("b.txt", 2, 12);
  log("logs/c.txt", 3, 13);
  log("logs/d3.txt", 4, 14);
  for (const Case& c : cases) {
    std::filesystem::remove_all(test::fs_path(at("logs_out")));
    for (const char* trace : {"a.asc", "b.asc", "logs/c.asc", "logs/d3.asc", "out/a.asc"}) {
      std::filesystem::remove(test::fs_path(at(trace)));
    }
    CliRun r = c.cmd ? run_in_cmd(data_, c.args[0]) : run(c.args);
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
    EXPECT_EQ(diagnostics_of(r.err), c.diagnostics) << c.what;
    Lines traces;
    for (const std::string& f : long_tree(data_)) {
      if (f.ends_with(".asc")) traces.push_back(f);
    }
    EXPECT_EQ(traces, c.traces) << c.what;
  }
}

// "/?" and "/help" ask for the help, as of any Windows program.
TEST_F(WindowsCliTest, SlashQuestionMarkPrintsTheHelp) {
  const CliRun help = run({"--help"});
  ASSERT_EQ(help.status, 0);
  ASSERT_TRUE(help.out.starts_with("Usage: quarn")) << help.out;
  for (const Lines& args : {Lines{"/?"}, Lines{"/help"}, Lines{"/HELP"}, Lines{"-d", "/?"}}) {
    CliRun r = run(args);
    EXPECT_EQ(r.status, 0) << args.back();
    // (The usage line shows room for as many inputs as arguments were given.)
    EXPECT_EQ(r.out, args.size() == 1 ? help.out : run({"-d", "--help"}).out) << args.back();
    EXPECT_EQ(r.err, "") << args.back();
  }
  CliRun r = run_in_cmd(data_, "/?");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, help.out);
}

// --- Network shares ------------------------------------------------------------------------------

bool under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Where Wine finds the share \\host\share: the folder unc/host/share of its devices, reached
// through the drive that shows the Unix root. Empty outside Wine.
std::string wine_share_folder(const std::string& host, const std::string& share) {
  const char* prefix = std::getenv("WINEPREFIX");
  if (!under_wine() || prefix == nullptr || prefix[0] != '/') return "";
  return std::string("Z:") + prefix + "/dosdevices/unc/" + host + "/" + share;
}

// A share's path is the share's, in every form, for logs and for -O: never the folder of that name
// on the working drive, which a path that lost its "\\" would be. A share that is not there is
// reported, by the name the root was formed from, and nothing local is touched.
TEST_F(WindowsCliTest, APathOnANetworkShareStaysOnTheShare) {
  const std::string host = "quarn-" + std::to_string(GetCurrentProcessId());
  const std::string unc = "\\\\" + host + "\\logs";
  // The local folder a halved "\\host\logs\..." would name: it must never be read or written.
  const std::string local = data_.substr(0, 2) + "/" + host;
  const bool have_local = long_make_dir(local) && long_make_dir(local + "/logs") && long_make_dir(local + "/logs/in");
  if (have_local) {
    ASSERT_TRUE(long_write(local + "/logs/in/trip.txt", test::generated_log(9, 10)));
  }
  struct LocalFolderGone {
    std::string path;
    ~LocalFolderGone() { std::filesystem::remove_all(test::fs_path(path)); }
  } local_gone{local};

  // A share that is not there.
  CliRun r = run({"-d", unc + "\\in\\trip.txt"});
  EXPECT_EQ(r.status, 133);
  EXPECT_EQ(diagnostics_of(r.err), Lines{"E: Invalid input path: //" + host + "/logs/in/"});
  log("a.txt", 1, 11);
  r = run({"-O", unc + "\\out", "a.txt"});
  EXPECT_EQ(r.status, 133);
  EXPECT_EQ(diagnostics_of(r.err), Lines{"E: Invalid output path: " + unc + "\\out"});
  if (have_local) {
    EXPECT_EQ(long_tree(local), Lines{"logs/in/trip.txt"});
    EXPECT_EQ(long_read(local + "/logs/in/trip.txt"), test::generated_log(9, 10));
  }

  const std::string share = wine_share_folder(host, "logs");
  if (share.empty()) GTEST_SKIP() << "no share to convert on outside Wine";
  struct ShareGone {
    std::string path;
    ~ShareGone() { std::filesystem::remove_all(test::fs_path(path.substr(0, path.size() - 5))); }
  } share_gone{share};
  test::make_dirs(share + "/in");
  test::make_dirs(share + "/out");
  ASSERT_TRUE(long_write(share + "/in/trip.txt", test::generated_log(2, 12)));
  ASSERT_TRUE(long_write(share + "/in/other.txt", test::generated_log(3, 13)));

  r = run({"-d", unc + "\\in\\trip.txt"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(is_trace(long_read(share + "/in/trip.asc"), 12));
  EXPECT_EQ(long_tree(share + "/in"), (Lines{"other.txt", "trip.asc"}));

  struct Case {
    const char* what;
    Lines args;
    std::string trace;  // in the share
  } cases[] = {
      {"-O on the share", {"-O", unc + "\\out", "a.txt"}, "out/a.asc"},
      {"-O with forward slashes", {"-O", "//" + host + "/logs/out/", at("a.txt")}, "out/a.asc"},
      {"-O in the long form", {"-O", "\\\\?\\UNC\\" + host + "\\logs\\out", "a.txt"}, "out/a.asc"},
      {"a folder on the share", {unc + "\\in"}, "in_out/other.asc"},
      {"a log in the long form", {"\\\\?\\unc\\" + host + "\\logs\\in\\other.txt"}, "in/other.asc"},
      {"the share from a log's folder", {"-X", unc + "\\in\\..\\in\\other.txt"}, "in/other.asc"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(test::fs_path(share + "/" + c.trace));
    r = run(c.args);
    EXPECT_EQ(r.status, 0) << c.what << ": " << r.err;
    EXPECT_EQ(r.err, "") << c.what;
    EXPECT_TRUE(is_trace(long_read(share + "/" + c.trace), c.trace.ends_with("a.asc") ? 11 : 13)) << c.what;
  }
  // A log missing from a share that is there is missing, as anywhere.
  r = run({"--verbosity", "2", unc + "\\in\\gone.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(diagnostics_of(r.err), Lines{"W: Could not find input file/folder gone.txt"});
  // The share is a root, and has none: ".." does not climb above it.
  r = run({"//" + host + "/logs/"});
  EXPECT_EQ(r.status, 132);
  EXPECT_EQ(diagnostics_of(r.err), Lines{"F: Could not find root for //" + host + "/logs/"});
  std::filesystem::remove(test::fs_path(share + "/in/other.asc"));
  r = run({"-X", unc + "\\..\\in\\other.txt"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(is_trace(long_read(share + "/in/other.asc"), 13));
  if (have_local) {
    EXPECT_EQ(long_tree(local), Lines{"logs/in/trip.txt"});
  }
}

// Forms that name no folder of logs are refused, named as typed, before anything is converted.
TEST_F(WindowsCliTest, DeviceAndVolumePathsAreRefusedAsTyped) {
  log("a.txt", 1, 11);
  struct Case {
    Lines args;
    std::string line;
  } cases[] = {
      {{"\\\\?\\Volume{2e1f6c6a-0000-0000-0000-100000000000}\\a.txt"},
       "E: Invalid input path: \\\\?\\Volume{2e1f6c6a-0000-0000-0000-100000000000}\\a.txt"},
      {{"\\\\.\\pipe\\logs"}, "E: Invalid input path: \\\\.\\pipe\\logs"},
      {{"\\\\server"}, "E: Invalid input path: \\\\server"},
      {{"a.txt", "//server/"}, "E: Invalid input path: //server/"},
      {{"-O", "\\\\.\\PhysicalDrive0", "a.txt"}, "E: Invalid output path: \\\\.\\PhysicalDrive0"},
  };
  for (const Case& c : cases) {
    CliRun r = run(c.args);
    EXPECT_EQ(r.status, 133) << c.line;
    EXPECT_EQ(diagnostics_of(r.err), Lines{c.line});
    EXPECT_EQ(long_tree(data_), Lines{"a.txt"}) << c.line;
  }
}

// --- Long paths and names -------------------------------------------------------------------------

TEST_F(WindowsCliTest, LogsPastTwoHundredSixtyCharactersAreAllConverted) {
  // Each level adds 61 characters: the logs' paths cross 248 (where a folder can no longer be made
  // without the long form) and 260 on the way down.
  const std::string level(60, 'L');
  std::string relative = "logs";
  ASSERT_TRUE(long_make_dir(at(relative)));
  Lines expected;
  for (int depth = 1; depth <= 6; ++depth) {
    relative += "/" + level;
    ASSERT_TRUE(long_make_dir(at(relative)));
    log(relative + "/t" + std::to_string(depth) + ".txt", static_cast<std::uint64_t>(depth), 10 + depth);
    expected.push_back(relative.substr(5) + "/t" + std::to_string(depth) + ".asc");
  }
  ASSERT_GT(at(relative).size(), 330u);
  CliRun r = run({"--delete-converted", "logs"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(long_tree(at("logs_out")), expected);
  for (int depth = 1; depth <= 6; ++depth) {
    const std::string trace = at("logs_out/") + expected[static_cast<std::size_t>(6 - depth)];
    EXPECT_TRUE(is_trace(long_read(trace), 10 + depth)) << depth;
  }
  EXPECT_EQ(long_tree(at("logs")), Lines{});  // every log converted, and so removed
}

TEST_F(WindowsCliTest, NamesOutsideTheAnsiCodePageArriveWhole) {
  // Greek, Japanese and a character beyond the 16-bit plane, on the command line and in a folder.
  const std::string greek = "\xce\xb4\xce\xbf\xce\xba\xce\xb9\xce\xbc\xce\xae";  // δοκιμή
  const std::string japanese = "\xe6\x97\xa5\xe6\x9c\xac";                       // 日本
  const std::string beyond = "\xf0\x9f\x9a\x97";                                 // U+1F697
  ASSERT_TRUE(long_make_dir(at(greek)));
  log(greek + "/" + japanese + ".txt", 1, 11);
  log(greek + "/" + beyond + " trip.txt", 2, 12);
  log(japanese + ".txt", 3, 13);
  CliRun r = run({greek, japanese + ".txt"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(long_tree(at(greek + "_out")), (Lines{japanese + ".asc", beyond + " trip.asc"}));
  EXPECT_TRUE(is_trace(long_read(at(greek + "_out/" + beyond + " trip.asc")), 12));
  EXPECT_TRUE(is_trace(long_read(at(japanese + ".asc")), 13));
  // The diagnostics carry the names as UTF-8, as on Linux.
  r = run({"--verbosity", "2", japanese + "-missing.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(diagnostics_of(r.err), Lines{"W: Could not find input file/folder " + japanese + "-missing.txt"});
}

// Names that differ only in the case of letters past ASCII are one file on Windows, as B.txt and
// b.TXT are: the later log of such a trace name fails and keeps its input, with or without -d,
// one job or more, and the earlier log's trace stays.
TEST_F(WindowsCliTest, LogsWhoseTracesDifferOnlyInTheCaseOfGreekOrAccentedLettersAreNamesakes) {
  log("src.txt", 4, 14);
  ASSERT_EQ(run({"-F", "mf4", "src.txt"}).status, 0);
  const std::string mf4 = long_read(at("src.mf4"));
  const std::string big_a = "\xc3\x84rger", small_a = "\xc3\xa4rger";          // A and a with diaeresis
  const std::string big_omega = "\xce\xa9mega", small_omega = "\xcf\x89mega";  // capital and small omega
  for (const Lines& jobs : {Lines{"-j", "1"}, Lines{"-j", "2"}}) {
    for (bool remove : {false, true}) {
      const std::string where = jobs[1] + (remove ? " -d" : "");
      std::filesystem::remove_all(test::fs_path(at("logs")));
      std::filesystem::remove_all(test::fs_path(at("logs_out")));
      test::make_dirs(at("logs"));
      log("logs/" + big_a + ".txt", 1, 11);
      ASSERT_TRUE(long_write(at("logs/" + small_a + ".mf4"), mf4));
      log("logs/" + big_omega + ".txt", 2, 12);
      ASSERT_TRUE(long_write(at("logs/" + small_omega + ".mf4"), mf4));
      Lines args = {"-I", "txt,mf4", "--verbosity", "3", "logs"};
      args.insert(args.begin(), jobs.begin(), jobs.end());
      if (remove) args.insert(args.begin(), "-d");
      CliRun r = run(args);
      EXPECT_EQ(r.status, 8) << where;
      EXPECT_EQ(
          diagnostics_of(r.err),
          (Lines{"E: Output file already written in this run: logs_out/" + small_a + ".asc",
                 "E: Error during end file callback", "E: Error during conversion of logs/" + small_a + ".mf4",
                 "E: Output file already written in this run: logs_out/" + small_omega + ".asc",
                 "E: Error during end file callback", "E: Error during conversion of logs/" + small_omega + ".mf4",
                 "I: Converted 2 of 4 logs, 51 frames, 2 failed"}))
          << where;
      EXPECT_EQ(long_tree(at("logs_out")), (Lines{big_a + ".asc", big_omega + ".asc"})) << where;
      EXPECT_TRUE(is_trace(long_read(at("logs_out/" + big_a + ".asc")), 11)) << where;
      EXPECT_TRUE(is_trace(long_read(at("logs_out/" + big_omega + ".asc")), 12)) << where;
      EXPECT_EQ(long_tree(at("logs")),
                remove ? (Lines{small_a + ".mf4", small_omega + ".mf4"})
                       : (Lines{big_a + ".txt", small_a + ".mf4", big_omega + ".txt", small_omega + ".mf4"}))
          << where;
    }
  }
}

// An output folder typed in other letter case than the log's own folder is that folder: the MDF4
// trace of an MDF4 log would replace the log, so the log fails and stays as it was, -d or not.
TEST_F(WindowsCliTest, ATraceOntoItsOwnLogThroughAFolderInOtherLetterCaseFails) {
  log("src.txt", 5, 15);
  ASSERT_EQ(run({"-F", "mf4", "src.txt"}).status, 0);
  const std::string mf4 = long_read(at("src.mf4"));
  const std::string big = "\xce\xa9logs", small = "\xcf\x89logs";  // capital and small omega
  ASSERT_TRUE(long_make_dir(at(big)));
  ASSERT_TRUE(long_write(at(big + "/trip.mf4"), mf4));
  for (bool remove : {false, true}) {
    Lines args = {"-F", "mf4", "-O", at(small), at(big + "/trip.mf4")};
    if (remove) args.insert(args.begin(), "-d");
    CliRun r = run(args);
    EXPECT_EQ(r.status, 8) << remove;
    EXPECT_EQ(diagnostics_of(r.err),
              (Lines{"E: Output file would replace its input: trip.mf4", "E: Error during conversion of trip.mf4"}))
        << remove;
    EXPECT_TRUE(long_read(at(big + "/trip.mf4")) == mf4) << remove;
    EXPECT_EQ(long_tree(at(big)), Lines{"trip.mf4"}) << remove;
  }
}

// --- Outputs ---------------------------------------------------------------------------------------

TEST_F(WindowsCliTest, ATraceFromAnEarlierRunIsReplaced) {
  // The C library's rename refuses an existing target; the trace must still take its place.
  log("trip.txt", 1, 15);
  ASSERT_TRUE(long_write(at("trip.asc"), "an old trace\n"));
  CliRun r = run({"trip.txt"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(is_trace(long_read(at("trip.asc")), 15));
  EXPECT_EQ(long_tree(data_), (Lines{"trip.asc", "trip.txt"}));
}

TEST_F(WindowsCliTest, ALogAnotherProgramHoldsIsReportedAndKept) {
  // Windows' counterpart of a file without read permission: one opened without sharing.
  test::make_dirs(at("logs"));
  log("logs/a.txt", 1, 10);
  log("logs/b.txt", 2, 20);
  HANDLE held = CreateFileW(long_form(at("logs/b.txt")).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  CliRun r = run({"--delete-converted", "--verbosity", "4", "logs"});
  CloseHandle(held);
  EXPECT_EQ(r.status, 8);
  EXPECT_EQ(diagnostics_of(r.err),
            (Lines{"E: Could not open input file logs/b.txt", "D: open " + at("logs/b.txt") + ": Permission denied",
                   "E: Error during conversion of logs/b.txt", "I: Converted 1 of 2 logs, 10 frames, 1 failed"}));
  EXPECT_EQ(long_tree(at("logs")), Lines{"b.txt"});
  EXPECT_EQ(long_tree(at("logs_out")), Lines{"a.asc"});
}

// --- Ending a run ------------------------------------------------------------------------------------

// A folder of logs large enough that a run over it is still going when the test ends it.
void make_large_folder(const std::string& folder, int logs, std::int64_t frames = 60000) {
  test::make_dirs(folder);
  for (int i = 0; i < logs; ++i) {
    write_file(folder + "/log" + std::to_string(100 + i) + ".txt",
               test::generated_log(static_cast<std::uint64_t>(i + 1), frames));
  }
}

bool has_part_file(const Lines& files) {
  return std::any_of(files.begin(), files.end(), [](const std::string& f) { return f.ends_with(".part"); });
}

TEST_F(WindowsCliTest, AKilledRunLeavesOnlyCompleteTracesAndUntouchedLogs) {
  make_large_folder(at("logs"), 12);
  const std::string original = read_file(at("logs/log100.txt"));
  int pid = test::start_quarn(data_, {"--delete-converted", "logs"});
  ASSERT_GT(pid, 0);
  HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  ASSERT_NE(process, nullptr);
  // Ended once the first trace is in place, in the middle of the folder.
  for (int i = 0; i < 3000 && long_read(at("logs_out/log100.asc")) == "<missing>"; ++i) Sleep(5);
  TerminateProcess(process, 1);
  WaitForSingleObject(process, INFINITE);
  CloseHandle(process);

  Lines logs = long_tree(at("logs"));
  for (const std::string& trace : long_tree(at("logs_out"))) {
    if (trace.ends_with(".part")) continue;  // a killed run may leave them; never taken for traces
    EXPECT_TRUE(is_trace(long_read(at("logs_out/" + trace)), 60000)) << trace;
  }
  for (const std::string& name : logs) {
    const std::string again = test::generated_log(static_cast<std::uint64_t>(std::stoi(name.substr(3, 3)) - 99), 60000);
    EXPECT_TRUE(read_file(at("logs/" + name)) == again) << name << " was changed";
  }
  static_cast<void>(original);
  // A second run converts what is left.
  CliRun r = run({"--delete-converted", "logs"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(long_tree(at("logs")), Lines{});
}

// A diagnostic line written to a pipe nobody reads any more (`quarn ... 2>&1 | more` after more
// was closed) ends the run as Ctrl-C does, through the same clean-up: the temporary trace goes,
// the log stays, and the status says the pipe broke.
TEST_F(WindowsCliTest, AClosedStandardErrorPipeRemovesTheTemporaryTraceAndKeepsTheLog) {
  tools::GenLogOptions options;
  options.seed = 5;
  options.frames = 600000;
  std::string text;
  ASSERT_TRUE(tools::gen_log_text(options, text));
  // Some 200,000 frames in, long after its trace was opened, a frame ten lines back once more: a
  // step back in time, and the first diagnostic line at --verbosity 2.
  std::size_t pos = text.find("\n12:00:0") + 1;
  std::vector<std::size_t> starts;
  for (int line = 0; line < 200000; ++line, pos = text.find('\n', pos) + 1) starts.push_back(pos);
  const std::size_t earlier = starts[starts.size() - 10];
  text.insert(pos, text.substr(earlier, text.find('\n', earlier) + 1 - earlier));
  test::make_dirs(at("logs"));
  write_file(at("logs/big.txt"), text);
  for (bool remove : {false, true}) {
    std::filesystem::remove_all(test::fs_path(at("logs_out")));
    Lines args = {"--verbosity", "2", "logs"};
    if (remove) args.insert(args.begin(), "-d");
    int fds[2];
    ASSERT_EQ(_pipe(fds, 4096, _O_BINARY), 0);
    _close(fds[0]);
    int pid = test::start_quarn(data_, args, fds[1]);
    _close(fds[1]);
    ASSERT_GT(pid, 0);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    ASSERT_NE(process, nullptr);
    ASSERT_EQ(WaitForSingleObject(process, 120000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    EXPECT_EQ(code, 0xC000014Bu) << remove;
    EXPECT_EQ(long_tree(at("logs_out")), Lines{}) << remove << ": a temporary trace was left";
    EXPECT_TRUE(read_file(at("logs/big.txt")) == text) << remove << ": the log changed";
  }
}

// The test's own answer to console events: it goes on.
BOOL WINAPI swallow_console_event(DWORD) { return TRUE; }

TEST_F(WindowsCliTest, CtrlCRemovesTheTemporaryTraceAndEndsWithTheControlCStatus) {
  make_large_folder(at("logs"), 3, 400000);
  // The console the event goes through, shared with quarn. (A process that has a console already
  // cannot get another: it uses that one.)
  if (AllocConsole() == 0 && GetLastError() != ERROR_ACCESS_DENIED) {
    GTEST_SKIP() << "no console to send Ctrl-C through (error " << GetLastError() << ")";
  }
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(swallow_console_event, TRUE);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::wstring line = L"\"" + test::fs_path(QUARN_EXE).wstring() + L"\" --delete-converted logs";
  std::wstring cwd = test::fs_path(data_).wstring();
  ASSERT_NE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, cwd.c_str(), &startup, &process),
            0);
  CloseHandle(process.hThread);
  // Sent while a trace is being written.
  bool part = false;
  for (int i = 0; i < 6000 && !part; ++i) {
    part = has_part_file(long_tree(at("logs_out")));
    if (!part) Sleep(2);
  }
  bool sent = part && GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != 0;
  DWORD send_error = GetLastError();
  DWORD waited = WaitForSingleObject(process.hProcess, 60000);
  if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  SetConsoleCtrlHandler(swallow_console_event, FALSE);
  FreeConsole();
  ASSERT_TRUE(part) << "no temporary trace was seen while quarn ran (exit status " << code << ")";
  if (!sent) GTEST_SKIP() << "the console could not send Ctrl-C (error " << send_error << ")";
  if (code == 0) GTEST_SKIP() << "this console did not deliver Ctrl-C (the run finished)";
  EXPECT_EQ(code, 0xC000013Au);
  Lines left = long_tree(at("logs_out"));
  EXPECT_FALSE(has_part_file(left)) << "a temporary trace was left";
  for (const std::string& trace : left) EXPECT_TRUE(is_trace(long_read(at("logs_out/" + trace)), 400000)) << trace;
  // The log whose trace was not finished is still there.
  EXPECT_FALSE(long_tree(at("logs")).empty());
}

}  // namespace
}  // namespace quarn
