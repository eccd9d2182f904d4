// Writes the broker's local authentication file for the default tree: the
// credentials of the database engine's fresh administrator, scrambled by the
// broker's own routine so the two can never disagree.
#include <cstdio>

#include "starling.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s <file> <user> <password>\n", argv[0]);
    return 2;
  }
  if (!writeAuthFile(argv[1], argv[2], argv[3])) {
    perror(argv[1]);
    return 1;
  }
  return 0;
}
