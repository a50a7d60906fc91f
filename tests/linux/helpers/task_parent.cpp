// A program that starts a worker the way Nubrio does (LinuxTask) and then only runs its event loop,
// so that a test can end it without its ordinary termination. Arguments: the worker executable and
// its working folder. Writes "started <worker pid>" on standard output once the worker runs.
#include <QCoreApplication>

#include <cstdio>

#include "platform/linux/process/task.h"
#include "worker/contract.h"

int main(int argc, char** argv) {
    if (argc != 3) return 64;
    QCoreApplication application(argc, argv);
    using namespace nubrio::linux_platform;
    LiveTasks live;
    namespace worker = nubrio::worker;
    LinuxTaskFactory factory(live, {worker::SignalTerminate, worker::SignalKill, worker::StopPollCount,
                                    worker::StopPollIntervalMicroseconds});
    std::shared_ptr<nubrio::platform::Task> task = factory.makeTask();
    task->setExecutable(argv[1]);
    task->setCurrentDirectory(argv[2]);
    task->setStandardInputNullDevice();
    if (auto error = task->launch()) {
        std::fprintf(stderr, "%s\n", error->fullDescription().c_str());
        return 1;
    }
    std::printf("started %d\n", task->processIdentifier());
    std::fflush(stdout);
    return QCoreApplication::exec();
}
