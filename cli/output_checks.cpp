#include "cli/output_checks.h"

#include "base/file_util.h"
#include "base/utf8.h"
#include "sources/source.h"

namespace keyscour::cli {

using sources::BadInput;

void RefuseOutputsOverInputs(const std::vector<std::string>& outputs, const std::vector<std::string>& inputs) {
    for (const auto& input : inputs) {
        const auto read = FileIdOf(input);
        if (!read) continue;
        for (const auto& output : outputs)
            if (!output.empty() && FileIdOf(output) == read)
                throw BadInput{L"--output: " + FromUtf8(output) + L" is the input " + FromUtf8(input) +
                               L"; writing it would destroy what is read. Nothing was written"};
        if (StandardOutputFileId() == read)
            throw BadInput{L"standard output is the input " + FromUtf8(input) +
                           L"; writing it would destroy what is read. Nothing was written"};
    }
}

}  // namespace keyscour::cli
