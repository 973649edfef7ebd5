#pragma once

#include <QtGlobal>

// What the kernel still holds for a connected TCP socket; 0 where it cannot tell.
namespace KernelQueues {

// Bytes that have arrived but we have not read yet.
qint64 unread(qintptr descriptor);

// Bytes we handed to the kernel that it has not put on the wire yet.
qint64 unsent(qintptr descriptor);

// Bytes we handed to the kernel that the other end has not acknowledged yet, sent or not.
qint64 unacknowledged(qintptr descriptor);

// Acknowledge what has arrived at once rather than after the usual delay, which would hold
// back a sender that waits for our acknowledgement before sending its next message.
void acknowledgeNow(qintptr descriptor);

// Make closing the socket reset the connection and free what it still holds to send.
void resetOnClose(qintptr descriptor);

} // namespace KernelQueues
