#pragma once

namespace ombrelia::example {

// Keeps every glibc arena's free top within 128 KiB (glibc's own default) from now on, unless
// glibc's thresholds were set through the environment. glibc raises its thresholds as large blocks
// come and go, until an arena keeps up to 64 MiB free at its top, which malloc_trim() does not
// return for the arenas of threads: 8 players of a 4 MB playlist, whose stages ran on several
// threads, left 100 MB resident that nothing used. The library leaves the allocator to the
// application; this host wants its resident memory to follow what the library holds.
void keepArenaTopsSmall();

}  // namespace ombrelia::example
