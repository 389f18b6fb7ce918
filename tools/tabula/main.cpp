// tabula: the command-line tool for the directory's tables.
#include <iostream>
#include <string>
#include <vector>

#include "tools/tabula/cli.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + 1, argv + argc);
  const int code = tabula::tool::RunTabula(args, {std::cout, std::cerr});
  std::cout.flush();
  return code;
}
