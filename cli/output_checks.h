#pragma once
// Outputs against inputs: a file the command reads is never one it writes,
// whatever name, link or hard link reaches it.

#include <string>
#include <vector>

namespace keyscour::cli {

// Throws BadInput when an output names the same file as an input, or when
// standard output is one of the inputs. outputs: paths, "" for none.
void RefuseOutputsOverInputs(const std::vector<std::string>& outputs, const std::vector<std::string>& inputs);

}  // namespace keyscour::cli
