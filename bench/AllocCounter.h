#pragma once
// Heap allocations made by the process so far.
long long AllocationCount();
