// `torvex faults FILE`: runs a scenario script once to count its fault
// points, then once per point with that one failing, each in a process of its
// own, and reports every run that did not end clean.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "host/kernel/scheduler.h"
#include "host/usb/usb_bus.h"

namespace tool {

struct FaultsRun {
    std::string self;    // this program, to run each point
    std::string path;    // the script
    std::optional<std::uint64_t> seed;
    std::optional<host::Strategy> strategy;
    std::optional<int> interfaces;
    std::optional<host::Controller> controller;
    bool unplug = false;         // each point is the moment the adapter is pulled out
    unsigned jobs = 1;           // runs at a time
    unsigned timeout_seconds = 120;  // a run that takes longer hangs
    std::string image;           // the driver image each run loads (the 32-bit host)
    // The slice of the points this run takes: the points are dealt round to
    // `shards` slices, point p to slice (p - 1) mod shards + 1, so that the
    // slices are disjoint, together hold every point, and share the
    // scenario's early and late points alike.
    unsigned shard = 1;
    unsigned shards = 1;
    std::string junit;  // a JUnit XML report of the slice's runs, "" for none
};

// Prints each finding with the command that replays it, and a last line
// "N of M clean" (M: the slice's points). Returns 0 when every run was clean, 1 when one was not, 2
// when the scenario cannot be run or fails without a fault.
int faults_command(const FaultsRun& run, std::FILE* out);

}  // namespace tool
