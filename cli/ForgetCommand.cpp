// haul forget: drops records (and their partial files) that nothing runs.
#include "ControlCommand.h"

#include "OwnerConnection.h"
#include "ProgressView.h"

#include <QJsonArray>
#include <QJsonObject>
#include <cstdio>

int ControlCommand::forget(std::vector<std::string> ids, bool failed)
{
    if (failed) {
        const ServiceClient::Answer listed = owner.get("/v1/downloads");
        if (listed.status != 200) {
            std::fprintf(stderr, "haul: cannot list the downloads: %s\n", listed.error.c_str());
            return 1;
        }
        for (const QJsonValue& value : listed.body.value("persisted").toArray()) {
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
