#pragma once

#include <QObject>
#include <QTimer>
#include <string>

class ProgressView;

// haul -v: the lines an owner started on demand appends to its log (DATA/serve.log, where the
// plugin's lines go) while this command runs, copied to standard error. Main thread.
class LogFollower : public QObject
{
    Q_OBJECT

public:
    LogFollower(std::string path, ProgressView& view);
    // Shows the lines that arrived since the last look.
    ~LogFollower() override;

private:
    void readNew();

    const std::string path;
    ProgressView& view;
    qint64 offset = 0;   // where the lines not yet shown begin
    std::string pending; // a line not yet ended
    QTimer timer;
};
