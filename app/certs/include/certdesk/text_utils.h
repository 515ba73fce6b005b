// Text, file and date helpers the workflows share. Text is Windows-1251 (see codec.h); file
// names are Windows-1251 too and become the platform's (UTF-8) names only when a file is opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace certdesk {

class Dialogs;

// UTF-8 toward the token: every 16-bit unit on its own (a surrogate becomes three bytes).
std::string EncodeUtf8(std::u16string_view text);
// The lenient decoder of subject escapes: bit 5 of a lead byte decides between one and two
// continuation bytes; any missing or malformed continuation gives an empty result.
std::u16string DecodeUtf8(std::string_view bytes);
// DecodeUtf8, then Windows-1251 ("?" for what the code page lacks); invalid input gives "".
std::string Utf8ToAnsiText(std::string_view bytes);

// Trims blanks and control characters (every byte up to and including the space) on both sides,
// then prepends fill until the text is width long.
std::string PadLeft(std::string_view text, std::size_t width, char fill);

// The platform's name of a file named in the program's text, and back.
std::filesystem::path PathFromAnsi(std::string_view fileName);
std::string AnsiFromPath(const std::filesystem::path& path);

// Files larger than this are refused like unreadable ones.
constexpr std::uintmax_t kMaxReadFileSize = 64u * 1024u * 1024u;

// The whole content of a file. Throws Error "Не могу открыть файл <name>".
std::string ReadFileToString(const std::string& fileName);

// Writes content to fileName, asking first when the file exists; a declined question writes
// nothing and returns false. The new content replaces the old one only once it is wholly on
// disk. Throws Error "Не могу создать файл <name>"; logs the overwrite of an existing file.
bool WriteFileConfirm(Dialogs& dialogs, const std::string& fileName, std::string_view content);

// The event log "error.log": beside the executable, or in $XDG_STATE_HOME/CertDesk
// (~/.local/state/CertDesk) when that folder is not writable. Chosen once, on first use.
std::filesystem::path EventLogPath();
// Where the event log of a program in programFolder goes.
std::filesystem::path EventLogPathFor(const std::filesystem::path& programFolder);
// Points the event log at another file (tests keep their log in their own folder).
void SetEventLogPath(const std::filesystem::path& path);
// Appends one EVENT line; failures are ignored. CR LF in the message becomes byte 0x07.
void LogEvent(std::string_view message, std::string_view source = {});
// The line LogEvent writes, for a given local time.
std::string EventLine(std::string_view message, std::string_view source, int year, int month,
                      int day, int hour, int minute, int second, int millisecond);

// The path with the platform's separator at its end ("" becomes "/").
std::string IncludeTrailingSlash(std::string_view path);

// Attribute filter of ListFiles. Ordinary files always pass; hidden files (names beginning with
// ".") only with faHidden, special files (sockets, pipes, devices) only with faSysFile.
// Directories are never listed.
enum FileAttributes : unsigned {
    faReadOnly = 0x01,
    faHidden = 0x02,
    faSysFile = 0x04,
    faDirectory = 0x10,
    faArchive = 0x20,
};

// Names (without folder) of the files in folder matching mask ("*" and "?", case-insensitive),
// sorted. Names the program's text cannot hold are left out, as they could not be opened by name.
std::vector<std::string> ListFiles(const std::string& folder, const std::string& mask,
                                   unsigned attributes);

// Days since 1899-12-30, the fraction being the time of day (UTC, no zone conversion), through
// the 2-second packed date and time: odd seconds are dropped, and times before 1980-01-01 (which
// the packed form cannot hold) give 1980-01-01 00:00:00.
double UnixToDateTime(std::uint32_t seconds);

struct CalendarTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};
CalendarTime DecodeDateTime(double dateTime);
// "dd.mm.yyyy"
std::string DateText(double dateTime);

}  // namespace certdesk
