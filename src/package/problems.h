// Where extraction reports what went wrong. The launcher passes none and stays silent; the
// tools print every line.
#pragma once

struct ProblemReporter {
  void (*report)(void* context, const char* where, const char* what);
  void* context;
};

inline void ReportProblem(const ProblemReporter* reporter, const char* where, const char* what) {
  if (reporter != nullptr) reporter->report(reporter->context, where, what);
}
