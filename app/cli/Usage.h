// Usage: the tool's usage texts, written straight to standard error.
//
// Order: the short usage (always), the parameters text (full), the extended parameters (full and
// extended), the sample usage (full). Main thread only.
#pragma once

void _display_usage(bool extended, bool full);
