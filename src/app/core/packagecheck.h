// What a package holds that an update cannot use, named for the user the same
// way by every command that reads packages.
#pragma once

#include "package/package.h"

#include <string>
#include <vector>

// Regions the trailer names but the reader could not load (the reader then
// treats them as absent), and program images that did not load; one line
// each, e.g. "region voice (slot 3) cannot be read". Empty for none.
std::vector<std::string> ZK_Package_unreadableRegions(const UpdatePackage* package);
