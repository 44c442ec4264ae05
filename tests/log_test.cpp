#include "log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "install_layout.h"
#include "test_support.h"

namespace {

// The lines of a log file as UTF-8 text, each without its time stamp, which
// every line must carry.
std::vector<std::string> LogMessages(const std::wstring& path) {
  const std::regex stamped(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (.*)$)");
  std::vector<std::string> messages;
  const std::string bytes = ReadBytes(path);
  size_t start = 0;
  while (start < bytes.size()) {
    const size_t end = bytes.find("\r\n", start);
    EXPECT_NE(end, std::string::npos) << "unterminated last line";
    const std::string line = bytes.substr(start, end - start);
    std::smatch match;
    EXPECT_TRUE(std::regex_match(line, match, stamped)) << line;
    messages.push_back(match.size() > 1 ? match[1].str() : line);
    start = end == std::string::npos ? bytes.size() : end + 2;
  }
  return messages;
}

std::string DescribedError(DWORD code) {
  wchar_t* description = DescribeError(code);
  const std::wstring text = description;
  FreeAndClear(&description);
  return std::string(text.begin(), text.end());
}

// The switch is looked for only among the arguments after the program, in
// any case, and the first one counts; its value may be quoted.
TEST(StartLog, OpensTheFileOfTheFirstLogSwitchAfterTheProgram) {
  ScratchFolder folder(L"log");
  const std::wstring chosen = folder / L"a b.log";
  const std::wstring later = folder / L"later.log";
  const std::wstring inProgramPath = folder / L"decoy.log";
  const std::wstring commandLine = L"\"" + folder.path() + L"\\x /log=" + inProgramPath +
                                   L" y\\menusetup.exe\" -q /LoG=\"" + chosen + L"\" \"/log=" +
                                   later + L"\"";
  ASSERT_TRUE(StartLog(commandLine.c_str()));
  LogLine("one");
  EndLog();
  LogLine("after the end");
  EXPECT_EQ(LogMessages(chosen), std::vector<std::string>{"one"});
  EXPECT_FALSE(FileExists(later));
  EXPECT_FALSE(FileExists(inProgramPath));

  for (const wchar_t* withoutFile :
       {L"menusetup.exe", L"menusetup.exe /log", L"menusetup.exe /log=", L"menusetup.exe -log=x"}) {
    EXPECT_FALSE(StartLog(withoutFile)) << withoutFile;
  }
  // A folder cannot be a log; the call says so and keeps no log open.
  const std::wstring onFolder = L"menusetup.exe /log=" + folder.path();
  EXPECT_FALSE(StartLog(onFolder.c_str()));
}

// A folder that may not be listed (C:\Windows\Temp for a standard user; here
// one that another program holds without sharing reading, which Wine refuses
// the same way) still takes the log; a file in it is judged by its open.
TEST(StartLog, WritesIntoAFolderThatMayNotBeListed) {
  ScratchFolder folder(L"log");
  const std::wstring held = folder / L"held";
  ASSERT_TRUE(CreateDirectoryW(held.c_str(), nullptr));
  HANDLE holder = CreateFileW(held.c_str(), GENERIC_READ, /*dwShareMode=*/0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const std::wstring commandLine = L"menusetup.exe /log=\"" + held + L"\\run.log\"";
  for (const char* line : {"made", "appended"}) {
    EXPECT_TRUE(StartLog(commandLine.c_str())) << line;
    LogLine("%S", line);
    EndLog();
  }
  ASSERT_TRUE(CreateHardLinkW((held + L"\\second.log").c_str(), (held + L"\\run.log").c_str(),
                              nullptr));
  EXPECT_FALSE(StartLog(commandLine.c_str()));
  CloseHandle(holder);
  EXPECT_EQ(LogMessages(held + L"\\run.log"), (std::vector<std::string>{"made", "appended"}));
}

TEST(LogLine, AppendsUtf8LinesWithTheirArguments) {
  ScratchFolder folder(L"log");
  const std::wstring path = folder / L"run.log";
  WriteBytes(path, "2000-01-01 00:00:00.000 earlier\r\n");
  const std::wstring commandLine = L"menucleanup.exe /log=\"" + path + L"\"";
  ASSERT_TRUE(StartLog(commandLine.c_str()));
  LogLine("%s|%S|%u|%4u|%x|100%%|%s|%s", L"Str\u00f6mung \u6d41\u4f53", "key",
          DWORD{4000000000u}, DWORD{7}, DWORD{0xBEEF}, static_cast<const wchar_t*>(nullptr),
          L"one\r\ntwo\tthree");
  LogFailure(ERROR_FILE_NOT_FOUND, "Folder %s kept", L"C:\\x");
  EndLog();

  const std::vector<std::string> messages = LogMessages(path);
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0], "earlier");
  EXPECT_EQ(messages[1],
            "Str\xc3\xb6mung \xe6\xb5\x81\xe4\xbd\x93|key|4000000000|0007|0000BEEF|100%|"
            "|one  two three");
  EXPECT_EQ(messages[2], "Folder C:\\x kept: " + DescribedError(ERROR_FILE_NOT_FOUND));
}

// Characters that readers take as line ends, and those that turn the text,
// are written escaped; other characters beyond ASCII as they are.
TEST(LogLine, EscapesWhatWouldEndOrTurnALine) {
  const struct Case {
    const wchar_t* text;
    const char* written;
  } cases[] = {
      {L"a\u2028b\u2029c", "a\\u2028b\\u2029c"},
      {L"a\u0085b", "a\\u0085b"},
      {L"\u007F\u0080\u009F", "\\u007F\\u0080\\u009F"},
      {L"\u200E\u200F", "\\u200E\\u200F"},
      {L"\u202A\u202B\u202C\u202D\u202E", "\\u202A\\u202B\\u202C\\u202D\\u202E"},
      {L"\u2066\u2067\u2068\u2069", "\\u2066\\u2067\\u2068\\u2069"},
      // Format characters that do not show; one beyond the first plane, each
      // half of its surrogate pair.
      {L"\u00AD\u200B\u2060\u206F\uFEFF", "\\u00AD\\u200B\\u2060\\u206F\\uFEFF"},
      {L"a\xDB40\xDC01" L"b", "a\\uDB40\\uDC01b"},
      // Neighbours of the escaped ranges, the zero-width joiner, a character
      // beyond the first plane and a backslash stay as they are.
      {L"~\u00A0\u200D\u2027\u202F\u2065\u2070\xD83D\xDE00\\u",
       "~\xC2\xA0\xE2\x80\x8D\xE2\x80\xA7\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xB0"
       "\xF0\x9F\x98\x80\\u"},
  };
  ScratchFolder folder(L"log");
  const std::wstring path = folder / L"escaped.log";
  const std::wstring commandLine = L"menusetup.exe /log=\"" + path + L"\"";
  ASSERT_TRUE(StartLog(commandLine.c_str()));
  for (const Case& c : cases) {
    LogLine("%s", c.text);
  }
  EndLog();
  const std::vector<std::string> messages = LogMessages(path);
  ASSERT_EQ(messages.size(), std::size(cases));
  for (size_t i = 0; i < messages.size(); ++i) {
    EXPECT_EQ(messages[i], cases[i].written);
  }
}

}  // namespace
