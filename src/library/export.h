#pragma once

// Marks what the shared library offers its own programs besides the C interface; everything
// else in it stays hidden.
#define QXW_EXPORT __attribute__((visibility("default")))
