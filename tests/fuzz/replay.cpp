// Runs a fuzz target on stored inputs, as an ordinary test: each argument is
// a file, or a folder whose files are all run. A broken property aborts.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool ReadInput(const std::string& path, std::vector<uint8_t>* bytes) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  bytes->clear();
  for (int c; (c = std::fgetc(f)) != EOF;) bytes->push_back(static_cast<uint8_t>(c));
  const bool read = !std::ferror(f);
  std::fclose(f);
  return read;
}

// The files to run for one argument, in name order.
std::vector<std::string> InputsOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {path};
  std::vector<std::string> files;
  if (DIR* dir = opendir(path.c_str())) {
    while (const dirent* e = readdir(dir)) {
      if (e->d_name[0] != '.') files.push_back(path + "/" + e->d_name);
    }
    closedir(dir);
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  int ran = 0;
  for (int i = 1; i < argc; ++i) {
    for (const std::string& file : InputsOf(argv[i])) {
      std::vector<uint8_t> bytes;
      if (!ReadInput(file, &bytes)) {
        std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
        return 1;
      }
      std::fprintf(stderr, "replay: %s\n", file.c_str());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++ran;
    }
  }
  std::printf("replay: %d inputs, every property held\n", ran);
  return ran > 0 ? 0 : 1;
}
