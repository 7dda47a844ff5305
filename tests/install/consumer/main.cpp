// Reads a volume, filters it with the defaults (or --preserve-edges) and
// writes the result: voluna-filter's job, done through the installed library.
//   voluna-consumer [--preserve-edges] INPUT OUTPUT
#include <voluna/filter.h>
#include <voluna/io.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  voluna::api::FilterSettings settings;
  int first = 1;
  if (argc > 1 && std::string(argv[1]) == "--preserve-edges") {
    settings.preserveEdges = true;
    first = 2;
  }
  if (argc - first != 2) {
    std::fprintf(stderr, "usage: voluna-consumer [--preserve-edges] INPUT OUTPUT\n");
    return 2;
  }
  const voluna::api::ReadResult input = voluna::api::read(argv[first]);
  if (!input.status.ok()) {
    std::fprintf(stderr, "voluna-consumer: %s\n", input.status.message.c_str());
    return 1;
  }
  voluna::api::Image output;
  const voluna::api::Status filtered = voluna::api::filter(input.image, output, settings);
  if (!filtered.ok()) {
    std::fprintf(stderr, "voluna-consumer: %s\n", filtered.message.c_str());
    return 1;
  }
  const voluna::api::Status written = voluna::api::write(argv[first + 1], output);
  if (!written.ok()) {
    std::fprintf(stderr, "voluna-consumer: %s\n", written.message.c_str());
    return 1;
  }
  return 0;
}
