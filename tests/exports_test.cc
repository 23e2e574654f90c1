// The built filter library as the web server sees it: exactly two exported
// functions, and what GetFilterVersion says about the filter.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>

#include "host/filter_module.h"

namespace tagsmith::host {
namespace {

const std::string kLibrary = std::string(TAGSMITH_BIN_DIR) + "/libtagsmith.so";

// Defined symbols of the dynamic symbol table: name -> nm's type letter.
std::map<std::string, char> DynamicSymbols(const std::string& library,
                                           int* exit_status) {
  std::map<std::string, char> symbols;
  const std::string command = "nm -D --defined-only '" + library + "' 2>&1";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return symbols;
  std::string text;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe));)
    text.append(buffer, got);
  *exit_status = pclose(pipe);
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    // "ADDRESS TYPE NAME", the name perhaps with a version ("@@V1").
    std::istringstream fields(line);
    std::string address, type, name;
    if (!(fields >> address >> type >> name) || type.size() != 1) {
      symbols["unparsed line: " + line] = '?';
      continue;
    }
    symbols[name.substr(0, name.find('@'))] = type[0];
  }
  return symbols;
}

TEST(Exports, LibraryExportsExactlyTheTwoEntryPoints) {
  int status = -1;
  const std::map<std::string, char> symbols = DynamicSymbols(kLibrary, &status);
  EXPECT_EQ(status, 0);
  const std::map<std::string, char> expected = {{"GetFilterVersion", 'T'},
                                                {"HttpFilterProc", 'T'}};
  EXPECT_EQ(symbols, expected);
}

TEST(Exports, FilterDescribesItselfWhenLoaded) {
  const FilterModule filter = FilterModule::Load(kLibrary);
  EXPECT_EQ(filter.description(), "Tagsmith Version 1.13");
  EXPECT_EQ(filter.version().dwFilterVersion, 0x00060000u);
  EXPECT_EQ(filter.flags(), 0x000204C3u);
}

}  // namespace
}  // namespace tagsmith::host
