#pragma once
// Ctrl+C: noted by the platform's handler, acted on by the walk, which
// stops through the engine at its next key and lets the command finish.

namespace keyscour::cli {

void CatchInterrupts();
bool Interrupted();

}  // namespace keyscour::cli
