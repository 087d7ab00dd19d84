// haul forget: drops records (and their partial files) that nothing runs.
#include "ControlCommand.h"
#include "DownloadBackend.h"
#include "ProgressView.h"

#include <QJsonArray>
#include <QJsonObject>
#include <cstdio>

int ControlCommand::forget(std::vector<std::string> ids, bool failed)
{
    if (failed) {
        QJsonArray listed;
        std::string error;
        if (!backend.list(&listed, &error)) {
            std::fprintf(stderr, "haul: cannot list the downloads: %s\n", error.c_str());
            return 1;
        }
        for (const QJsonValue& value : listed) {
            if (value.toObject().value("state").toString() == "failed")
                ids.push_back(value.toObject().value("id").toString().toStdString());
        }
        if (ids.empty()) {
            view.note("nothing to forget");
            return 0;
        }
    }
    return run("forget", ids);
}
