// Where extraction reports what went wrong. The launcher passes none and stays silent; the
// tools print every line.
#pragma once

struct ProblemReporter {
  // Damage: the package is broken or hostile, or unpacking failed; nothing is to be started.
  void (*report)(void* context, const char* where, const char* what);
  void* context;
  // A slip of the package's maker that unpacking tolerates, the same on every machine: a record
  // passed over or applied as the format's rules say. May be null.
  void (*slip)(void* context, const char* where, const char* what);
};

inline void ReportProblem(const ProblemReporter* reporter, const char* where, const char* what) {
  if (reporter != nullptr) reporter->report(reporter->context, where, what);
}

inline void ReportSlip(const ProblemReporter* reporter, const char* where, const char* what) {
  if (reporter != nullptr && reporter->slip != nullptr)
    reporter->slip(reporter->context, where, what);
}
