#include "startupmessages.h"

#include <cstdio>
#include <cstdlib>

namespace {
StartupMessages *active = nullptr;
}

StartupMessages::StartupMessages(QByteArray failure) : m_failure(std::move(failure))
{
    active = this;
    m_previous = qInstallMessageHandler(&StartupMessages::hold);
}

StartupMessages::~StartupMessages()
{
    qInstallMessageHandler(m_previous);
    active = nullptr;
    for (const Message &m : std::as_const(m_held)) {
        const QMessageLogContext context(nullptr, 0, nullptr,
                                         m.category.isNull() ? nullptr : m.category.constData());
        m_previous(m.type, context, m.text);
    }
}

void StartupMessages::hold(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtFatalMsg) {
        // Qt gives up only when no platform could start: nothing of ours runs yet.
        std::fputs(active->m_failure.constData(), stderr);
        std::fflush(stderr);
        std::_Exit(1);
    }
    active->m_held.append({type, QByteArray(context.category), text});
}
