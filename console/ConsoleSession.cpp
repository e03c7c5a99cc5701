#include "console/ConsoleSession.h"

#include <QHostAddress>
#include <QNetworkInterface>

QStringList HostAddresses()
{
    QStringList addresses{"127.0.0.1"};
    for (const QHostAddress& a : QNetworkInterface::allAddresses()) {
        if (a.protocol() != QAbstractSocket::IPv4Protocol)
            continue;
        const QString text = a.toString();
        if (!addresses.contains(text))
            addresses << text;
    }
    return addresses;
}

bool IsHostAddress(const QString& address)
{
    return address.startsWith("127.") || HostAddresses().contains(address);
}
