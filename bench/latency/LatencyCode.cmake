# The latency code's library, shared by the clock client here and orvane-pad's
# reader: included from both, as a benchmark-less build still has the pad tool.
include_guard(GLOBAL)
orvane_library(orvane_latency_code SOURCES ${CMAKE_CURRENT_LIST_DIR}/LatencyCode.cpp)
