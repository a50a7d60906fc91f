#pragma once
// Loading a module of the bundle, off the main thread. The module is taken only as a trusted file of
// the bundle (base/trusted_file: a regular file of its owner or root that nobody else may write, a
// FIFO refused without waiting), is first loaded by the bundle's trial helper in a process of its own,
// and only then here, through the descriptor that was checked. A module whose constructors hang or
// crash thus costs the trial, within a bound, and never the program: a hang inside the dynamic loader
// would hold its lock, and with it every later dlopen and dlsym of the program's, for good.
#include <sys/types.h>

#include <filesystem>
#include <string>

namespace nubrio::linux_platform::module_loader {

struct Module {
    std::filesystem::path file;
    std::filesystem::path trial;  // the helper that tries loading it first
    uid_t owner = static_cast<uid_t>(-1);  // the bundle's owner; root's files are taken too
    double trialSeconds = 15.0;            // a trial still loading then is stopped, and the module refused
};

// Blocks for the trial and the load: never on the main thread. The address of the module's symbol
// `entry`, or null with `failure` saying why (the path, and the loader's reason, the trial's signal or
// its bound).
void* load(const Module& module, const char* entry, std::string& failure);

}  // namespace nubrio::linux_platform::module_loader
