// What the tool needs from the operating system beyond standard C++: its arguments as UTF-8,
// the standard streams, files opened by UTF-8 name, the facts of an open file, and whether a
// stream is a terminal. One source file per platform keeps this contract (platform_posix.cpp,
// platform_windows.cpp), and so do the interrupt handlers (exchange/interrupt.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The program's arguments as UTF-8 texts, argv-style (values[count] is null).
struct program_arguments {
  int count = 0;
  char** values = nullptr;
  std::vector<std::string> texts;     // owns the converted texts where the platform converts
  std::vector<char*> pointers;
};

// On POSIX the arguments as given (file names are bytes there); on Windows the command line as
// the system holds it, in UTF-16, converted to UTF-8, so that no character is replaced by a
// look-alike of the active code page.
void read_arguments(int argc, char** argv, program_arguments& arguments);

// Prepares the standard streams before anything else is opened: false when that cannot be done.
bool prepare_standard_streams();

// std::fopen for a UTF-8 file name; errno tells why it failed.
std::FILE* open_file(const char* path, const char* mode);

// True when path names a directory.
bool names_directory(const char* path);

// What an open file is.
struct file_facts {
  bool directory = false;
  bool regular = false;   // a file on a disk, with a size
  std::uint64_t size = 0;  // for a regular file
};
bool describe_file(std::FILE* file, file_facts& facts);

// True when path names the regular file that file has open (also through a link or another
// spelling of the path).
bool is_same_file(std::FILE* file, const char* path);

// True when the stream is an interactive terminal (a console window on Windows).
bool is_terminal(std::FILE* stream);
