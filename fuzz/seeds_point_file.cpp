// Writes the seed corpus of fuzz_point_file: point files of every layout,
// separator and identifier kind, into the directory given as the only argument.
#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <seed directory>\n", argv[0]);
    return 2;
  }
  const char* const seeds[] = {
      "1 2 3\n4.5 -6e2 7\n",
      "# nominal\nid x y z\n1 5.0 5.0 12.0\nP2 80 5 12 # probe\n\n\"BORE_A\" 0.1 -0.2 1e-3\n",
      "x;y;z;wx;wy;wz\r\n1;2;3;1;1;1\r\n4;5;6;0.5;0;2;\r\n",
      "\xEF\xBB\xBF" "7\t1,5\t2\t3\t1\t1\t1\n007 +1 .5 3.\n",
      "Messprotokoll\r\nPunkt;X [mm];Y [mm];Z [mm]\r\nP1;410,034;385,448;342,373\r\n\"Bore A\";-12,5;0;1e3\r\n",
      "id x y z i j k\n1 0 0 0 0 0 2\n\"P#2\" 1 2 3 3 0 4\nBohrung_\xD8" "3 4 5 6 0 1 0\n",
  };
  for (std::size_t k = 0; k < std::size(seeds); ++k) {
    std::ofstream file(std::string(argv[1]) + "/points_" + std::to_string(k) + ".txt", std::ios::binary);
    if (!(file << seeds[k]).flush()) return 1;
  }
  return 0;
}
