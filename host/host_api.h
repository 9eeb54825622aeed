#pragma once

// Marks what the host library exports to plug-ins. Plug-ins build with hidden
// visibility; host classes and functions must stay visible to them.
#define KMX_HOST_API __attribute__((visibility("default")))
