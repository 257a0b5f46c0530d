#pragma once
// The formats behind MakeOutput, one file each.

#include <memory>

#include "output/output.h"

namespace keyscour::output {

std::unique_ptr<Output> MakeJsonLinesOutput(Sink& out);
std::unique_ptr<Output> MakeCsvOutput(Sink& out);
std::unique_ptr<Output> MakeTableOutput(Sink& out, TableColumns columns = {});
// Rows it cannot carry go to errors as one line each.
std::unique_ptr<Output> MakeRegOutput(Sink& out, Sink& errors);

// Decorates a format whose records hold no warnings or totals: those go to
// people on standard error, one line each, unless quiet.
std::unique_ptr<Output> WithMessagesTo(std::unique_ptr<Output> format, Sink& errors, bool quiet);

}  // namespace keyscour::output
