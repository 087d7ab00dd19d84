#include "UUId.h"

#include <QUuid>

UUId UUId::generate()
{
    return UUId(QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString());
}
