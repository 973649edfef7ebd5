#include "iothread.h"

IoThread::IoThread(QObject *parent) : QThread(parent)
{
    setObjectName(QStringLiteral("vornel-io"));
}

IoThread::~IoThread()
{
    quit();
    wait();
}
