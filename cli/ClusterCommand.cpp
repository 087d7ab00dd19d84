#include "ClusterCommand.h"

#include "ClusterMember.h"
#include "CommandLine.h"
#include "Configuration.h"
#include "ControlCommand.h"
#include "InterruptWatcher.h"
#include "ListCommand.h"
#include "ProgressView.h"
#include "TransferCommand.h"

#include <cstdio>
#include <unistd.h>

int runOnCluster(const CommandLine& line)
{
    // What this command is told of the cluster's access and replicas, as a host would be.
    Configuration& configuration = Configuration::instance();
    if (!line.configFile.empty() && !configuration.loadFile(line.configFile)) {
        std::fprintf(stderr, "haul: cannot read the configuration file %s\n", line.configFile.c_str());
        return 1;
    }
    for (const auto& setting : line.settings)
        configuration.set(setting.first, setting.second);
    cluster::Command command;
    command.connection = clusterConnection(line.cluster);
    command.run = [&line](DownloadBackend* backend, const std::string& error) {
        if (!backend) {
            std::fprintf(stderr, "haul: %s\n", error.c_str());
            return 1;
        }
        InterruptWatcher watcher;
        ProgressView view(line.json    ? ProgressView::Mode::Json
                          : line.quiet ? ProgressView::Mode::Quiet
                                       : ProgressView::Mode::Human,
                          ::isatty(STDERR_FILENO) != 0);
        if (line.command == "get")
            return TransferCommand(line, *backend, view, watcher).get();
        if (line.command == "resume")
            return TransferCommand(line, *backend, view, watcher).resume();
        if (line.command == "list")
            return ListCommand(*backend, line.json).run();
        return ControlCommand(*backend, view, line.json).run(line.command, line.arguments);
    };
    return runClusterCommand(command);
}
