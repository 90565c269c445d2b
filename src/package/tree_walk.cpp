#include "package/tree_walk.h"

#include <cstring>

#include "common/paths.h"
#include "common/platform.h"
#include "decode/decoder.h"
#include "package/entry_name.h"

int g_decodeWorkers = 0;

namespace {

// Files handed over but not yet taken by a worker: enough to keep every worker busy while the
// walk opens the next files, few enough that the open files stay a handful.
enum { QUEUE_SIZE = 16 };

// One staged file to decode: both ends already open, so that a worker never looks up a path.
struct DecodeJob {
  FILE* source;  // null: the worker is to end
  FILE* output;
  DirHandle directory;  // a hold of its own on the directory the output is in
  int directoryMade;    // that directory was made by this run, so all in it is the run's
  char path[PATH_BUFFER];
};

struct Worker {
  WorkerStart start;  // first: the thread is given this
  Decoder* decoder;
  WorkerThread thread;
};

// The walk's state, kept out of the stack like the decoders: one walk runs at a time.
struct Walk {
  const ProblemReporter* reporter;
  // Set by the first failure, on whichever thread: it alone is reported, and it stops the rest.
  std::atomic<int> failed;
  int workers;
  Worker worker[MAX_DECODE_WORKERS];
  DecodeJob queue[QUEUE_SIZE];
  unsigned put;    // the walk's next slot
  unsigned taken;  // the workers' next slot, under `take`
  Semaphore free, ready, take;
};

Walk g_walk;
// The first worker, or the walk itself without workers, decodes with the process's decoder.
Decoder g_moreDecoders[MAX_DECODE_WORKERS - 1];

Decoder& DecoderOf(int worker) {
  return worker == 0 ? ProcessDecoder() : g_moreDecoders[worker - 1];
}

void Fail(const char* where, const char* what) {
  int expected = 0;
  if (g_walk.failed.compare_exchange_strong(expected, 1))
    ReportProblem(g_walk.reporter, where, what);
}

void RunJob(DecodeJob& job, Decoder& decoder) {
  DecompressResult result = DecodeFileStreams(decoder, job.source, job.output, &g_walk.failed);
  fclose(job.source);
  if (result != DECOMPRESS_OK) Fail(job.path, DecompressResultText(result));
  // Also a file that was complete, or empty, when another failed: the run is over.
  if (g_walk.failed) {
    DeleteFileAt(job.directory, job.path);
    // What this run put in a directory it made is taken away through the handle, also from a
    // directory that someone moved elsewhere meanwhile.
    if (job.directoryMade) EmptyDirectoryHandle(job.directory);
  }
  ReleaseSharedDirectoryHandle(job.directory);
}

void RunWorker(WorkerStart* start) {
  Worker* self = reinterpret_cast<Worker*>(start);
  for (;;) {
    WaitSemaphore(g_walk.ready);
    // Taken and copied under the lock: the slot is free for the walk only once it is copied.
    WaitSemaphore(g_walk.take);
    DecodeJob job = g_walk.queue[g_walk.taken++ % QUEUE_SIZE];
    PostSemaphore(g_walk.take);
    PostSemaphore(g_walk.free);
    if (job.source == nullptr) return;
    RunJob(job, *self->decoder);
  }
}

// Decodes the job on a worker, or right here without workers.
void Submit(DecodeJob& job) {
  if (g_walk.workers == 0) {
    RunJob(job, ProcessDecoder());
    return;
  }
  WaitSemaphore(g_walk.free);
  g_walk.queue[g_walk.put++ % QUEUE_SIZE] = job;
  PostSemaphore(g_walk.ready);
}

void StartWorkers() {
  int wanted = g_decodeWorkers > 0 ? g_decodeWorkers : ProcessorCount();
  if (wanted > MAX_DECODE_WORKERS) wanted = MAX_DECODE_WORKERS;
  g_walk.workers = 0;
  g_walk.put = g_walk.taken = 0;
  // One processor decodes best on the walk's own thread.
  if (wanted < 2) return;
  g_walk.free = MakeSemaphore(QUEUE_SIZE);
  g_walk.ready = MakeSemaphore(0);
  g_walk.take = MakeSemaphore(1);
  if (g_walk.free == NO_SEMAPHORE || g_walk.ready == NO_SEMAPHORE || g_walk.take == NO_SEMAPHORE)
    return;
  for (int i = 0; i < wanted; ++i) {
    Worker& worker = g_walk.worker[g_walk.workers];
    worker.start.run = RunWorker;
    worker.decoder = &DecoderOf(i);
    worker.thread = StartWorkerThread(&worker.start);
    if (worker.thread == NO_WORKER_THREAD) break;
    ++g_walk.workers;
  }
}

// Every worker finishes what it took and ends.
void StopWorkers() {
  DecodeJob stop;
  stop.source = nullptr;
  for (int i = 0; i < g_walk.workers; ++i) Submit(stop);
  for (int i = 0; i < g_walk.workers; ++i) JoinWorkerThread(g_walk.worker[i].thread);
  CloseSemaphore(g_walk.free);
  CloseSemaphore(g_walk.ready);
  CloseSemaphore(g_walk.take);
  g_walk.free = g_walk.ready = g_walk.take = NO_SEMAPHORE;
}

int IsDotEntry(const char* name) {
  return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// Mirrors one level: `destination` is held open as `destinationDir`, and `made` tells whether
// this run made it. Stops once anything has failed.
void DecodeLevel(const char* sourceDir, const char* destinationDir, DirHandle destination,
                 int made) {
  DirEntry entry;
  DirSearch search = OpenDirSearch(sourceDir, &entry);
  if (search == nullptr) {
    Fail(sourceDir, "cannot list the staged directory");
    return;
  }
  do {
    if (IsDotEntry(entry.name)) continue;
    DecodeJob job;
    char sourceChild[PATH_BUFFER];
    char* destinationChild = job.path;
    const char* problem = nullptr;
    const char* where = entry.name;
    // A name from the search is joined only as one plain component: a name the system had to
    // map into the code page may come back holding separators or dots.
    if ((problem = ComponentNameProblem(entry.name)) != nullptr) {
    } else if (!JoinPath(sourceChild, sourceDir, entry.name) ||
               !JoinPath(destinationChild, destinationDir, entry.name)) {
      problem = "path longer than MAX_PATH";
    } else if (entry.isLink) {
      where = sourceChild;
      problem = "link in the staged tree";
    } else if (entry.isDirectory) {
      where = destinationChild;
      // Only a directory made here and now is written into: one that exists already was put
      // there by someone else, and may lead anywhere.
      DirHandle child;
      MakeDirResult result = MakeDirectoryAt(destination, destinationChild, &child);
      if (result == MAKEDIR_CREATED) {
        DecodeLevel(sourceChild, destinationChild, child, 1);
        // What this run put in a directory it made is taken away through the handle, also
        // from a directory that someone moved elsewhere meanwhile. A worker still at a file
        // in it writes on into a name that is gone.
        if (g_walk.failed) EmptyDirectoryHandle(child);
        CloseDirectoryHandle(child);
      } else {
        problem = result == MAKEDIR_EXISTS    ? "exists already, not made by this run"
                  : result == MAKEDIR_SWAPPED ? "replaced once made (a link?)"
                                              : "cannot create directory";
      }
    } else {
      where = destinationChild;
      int exists;
      job.source = OpenFile(sourceChild, "rb");
      job.output =
          job.source != nullptr ? OpenNewFileAt(destination, destinationChild, &exists) : nullptr;
      if (job.source == nullptr) {
        problem = DecompressResultText(DECOMPRESS_READ_FAILED);
      } else if (job.output == nullptr) {
        fclose(job.source);
        problem = DecompressResultText(exists ? DECOMPRESS_EXISTS : DECOMPRESS_WRITE_FAILED);
      } else {
        job.directory = ShareDirectoryHandle(destination);
        job.directoryMade = made;
        Submit(job);
      }
    }
    if (problem != nullptr) Fail(where, problem);
  } while (!g_walk.failed && NextDirEntry(search, &entry));
  CloseDirSearch(search);
}

}  // namespace

int DecompressTree(const char* sourceDir, const char* destinationDir,
                   const ProblemReporter* reporter) {
  g_walk.reporter = reporter;
  g_walk.failed = 0;
  DirHandle destination = OpenDirectoryHandle(destinationDir);
  if (destination == NO_DIR_HANDLE) {
    Fail(destinationDir, "not a directory (a link?)");
    return 1;
  }
  StartWorkers();
  DecodeLevel(sourceDir, destinationDir, destination, 0);
  StopWorkers();
  CloseDirectoryHandle(destination);
  return g_walk.failed;
}

int RemoveTree(const char* dir) {
  return RemoveDirectoryTree(dir);
}
