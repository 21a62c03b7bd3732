// Writes one small file of every bitmap layout into the folder given: the
// fuzzer's seeds.
#include <fstream>
#include <string>

#include "bmp_fixture.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  for (const skan::dib::TVariant& v : skan::dib::AllVariants())
    std::ofstream(std::string(argv[1]) + "/" + v.name + ".bmp", std::ios::binary)
        << skan::dib::MakeFixture(v, 9, 5).file;
  return 0;
}
