# Most of a source's compile time goes to the headers it shares with its neighbours: the standard
# library, gtest, Boost.Asio and the project's own. A unity build compiles a batch of a target's
# sources as one translation unit, so those headers are parsed once per batch rather than once per
# source; on a two-core CI machine that is the difference between a run that fits its hour and one
# that does not.
#
# A batch of a dozen sources keeps an edit from rebuilding much more than its neighbours, and keeps
# the memory of one optimised batch within what a shared machine has to spare; the batches are
# still enough per target for two cores to be busy.
#
# Sources of one batch share their file-scope names, so helpers in an anonymous namespace are named
# for what they do in their file, or live once in a shared header. The fuzzing build turns this off
# (OMBRELIA_UNITY_BUILD=OFF): there each source is compiled on its own, with only the includes it
# writes, so a missing include still fails somewhere.
option(OMBRELIA_UNITY_BUILD "Compile each target's sources in batches (faster full builds)" ON)
set(OMBRELIA_UNITY_BATCH_SIZE 12 CACHE STRING "Sources per batch of a unity build")

function(ombrelia_unity target)
  if(OMBRELIA_UNITY_BUILD)
    set_target_properties(${target} PROPERTIES UNITY_BUILD ON
                                               UNITY_BUILD_BATCH_SIZE ${OMBRELIA_UNITY_BATCH_SIZE})
  endif()
endfunction()
