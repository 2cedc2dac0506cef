// SPDX-License-Identifier: MIT
// A factoring run, new (dialogue) or resumed (status.txt), from the banner to
// the total-time line. Returns the exit status: 0 for a completed run, 1 for
// refused input or an unusable checkpoint, 2 for a run that completed but
// could not write one of its records.
#pragma once

#include <cstdint>

#include "core/run_state.h"
#include "gpu/device_request.h"
#include "search/backends.h"

// threads: how many threads the search runs on (>= 1); device: which device
// tests the candidates (TAMRISK_DEVICE), and sieve where a device's
// segments are sieved (a test build keeps it on the CPU).
int run_new(std::int32_t segment_length = kSegmentK, int threads = 1,
            const DeviceRequest& device = {}, DeviceSieve sieve = DeviceSieve::OnDevice);
int run_resumed(std::int32_t segment_length = kSegmentK, int threads = 1,
                const DeviceRequest& device = {}, DeviceSieve sieve = DeviceSieve::OnDevice);
