#include <cstdio>
#include <cstring>

#include "version.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("tessamer %s\n", tessamer::kVersionText);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf("Usage: tessamer [--version] [--help]\n");
      return 0;
    }
  }
  std::fprintf(stderr, "tessamer: unknown option\n");
  return 2;
}
