// SPDX-License-Identifier: MIT
// Allocation tracking for the whole-run target. The tool keeps its module
// buffers until the process exits, and fatal exits; in the fuzz build fatal
// throws instead, and what the run held would pile up input after input.
// The target is linked with --wrap for malloc, free and the plain operator
// new and delete, so that allocations made while tracking are recorded.
#pragma once

// Starts recording allocations that are still live at the end of the run.
void track_allocations();
// Stops recording; whatever is left stays for LeakSanitizer to judge.
void stop_tracking();
// Stops recording and frees everything the run still holds.
void free_tracked();
