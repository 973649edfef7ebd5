#pragma once

#include <QByteArray>
#include <QString>

// How private a session up is: on the encrypted link or not, who vouched for the server, and
// how many in the room read it in plain all the same.
struct ConnectionPrivacy
{
    bool encrypted = false;
    // The name the system's trust store vouched for the server's certificate under; empty
    // where none did (a certificate of its own, taken by its fingerprint or on first contact).
    QString vouchedName;
    QByteArray fingerprint;
    // Users reading the room without encryption, as the server last said; 0 before it has.
    int plainUsers = 0;
};
