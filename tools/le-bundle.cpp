// Avatar bundle utility: packs a bundle directory into an IMX container,
// unpacks one, and resolves bundle paths and members as the engine does.
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "bundle/le_imx.h"
#include "le/le_bundle.h"

namespace {

constexpr size_t kPathBuffer = 65536;

int usage() {
  std::fprintf(stderr,
               "usage: le-bundle pack DIR OUT.imx      write DIR as an IMX v2 container\n"
               "       le-bundle unpack IMX DIR        write the container's members into DIR\n"
               "       le-bundle resolve PATH [MEMBER] print the bundle directory (and the member's path)\n");
  return 2;
}

int pack(const std::vector<std::string>& args) {
  if (args.size() != 2) return usage();
  le::packImx(args[0], args[1]);
  return 0;
}

int unpack(const std::vector<std::string>& args) {
  if (args.size() != 2) return usage();
  std::filesystem::create_directories(args[1]);
  le::extractImx(args[0], args[1], false);
  return 0;
}

// Exit status 0 when resolved (and the member exists), 1 when the member is
// missing, 2 on failure.
int resolve(const std::vector<std::string>& args) {
  if (args.empty() || args.size() > 2) return usage();
  std::vector<char> out(kPathBuffer);
  if (le_bundle_resolve_handle(args[0].c_str(), out.data(), out.size()) != 1) {
    std::fprintf(stderr, "le-bundle: %s\n", le_last_error());
    return 2;
  }
  std::printf("%s\n", out.data());
  if (args.size() == 1) return 0;
  const int found = le_bundle_resolve_member(args[0].c_str(), args[1].c_str(), out.data(), out.size());
  if (found < 0) {
    std::fprintf(stderr, "le-bundle: cannot resolve member %s\n", args[1].c_str());
    return 2;
  }
  std::printf("%s\n", out.data());
  if (found == 0) std::fprintf(stderr, "le-bundle: member missing: %s\n", out.data());
  return found ? 0 : 1;
}

struct Command {
  const char* name;
  int (*run)(const std::vector<std::string>&);
};
constexpr Command kCommands[] = {{"pack", pack}, {"unpack", unpack}, {"resolve", resolve}};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  for (const Command& c : kCommands) {
    if (std::strcmp(argv[1], c.name) != 0) continue;
    try {
      return c.run(std::vector<std::string>(argv + 2, argv + argc));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "le-bundle %s: %s\n", c.name, e.what());
      return 2;
    }
  }
  return usage();
}
