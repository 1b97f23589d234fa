#pragma once

#include "discovery/DiscoveryState.h"
#include "net/Transfer.h"

#include <QByteArray>
#include <QString>

class ImageList;
class MessageBoxes;
class LinkScanner;
class QFileDevice;

// What one page address came to: scanned or not, and how its fetch ended (ok when it was not
// fetched at all). True when the page was fetched and scanned.
struct PageVisit {
    bool scanned = false;
    net::Result fetch;
    explicit operator bool() const { return scanned; }
};

// Handles one page address of a listing run: works out the address to fetch and the base for
// relative links, fetches the page into a private temporary file, loads its bytes and has the
// scanner go through them.
class PageRetrieval {
public:
    // The page is fetched by a transfer of the run's factory.
    PageRetrieval(DiscoveryState& state, LinkScanner& scanner, MessageBoxes& boxes,
                  net::TransferFactory& factory);

    // For any pass but the first it does nothing unless a filter entry matches the text after the
    // address's last ".".
    PageVisit GetUrls(ImageList& list, const QByteArray& address, qint16 slot, qint32 pass);
    // Sets PageAddress and PageBase from a typed address.
    void SetPageAddress(const QByteArray& address);

private:
    DiscoveryState& m_state;
    LinkScanner& m_scanner;
    MessageBoxes& m_boxes;
    net::TransferFactory& m_factory;
};

// What the server said of a fetched page besides its bytes: the address it finally came from
// (after redirects, as sent on the wire) and its Content-Type header, empty when it sent none.
struct PageResponse {
    QByteArray finalUrl;
    QByteArray contentType;
};

// Fetches address (followed through redirects) with a transfer of factory into the open file, which a thread
// of its own writes while the body arrives (the file is not to be touched until this returns); with body, the
// bytes are also kept there, which spares reading the file back; with response, what the server said of the
// page. A failure when the page could not be fetched completely. The page may come compressed and is
// stored decompressed, within maxPageBytes().
net::Result DownloadToFile(net::TransferFactory& factory, const QByteArray& address, QFileDevice& file,
                           QByteArray* body = nullptr, PageResponse* response = nullptr);

// The listing's report of a page that could not be fetched.
QString pageFetchFailure(const QByteArray& address, const net::Result& fetch);

// Deletes a file; reports nothing. Used for the temporary page file.
void RemoveFile(const QString& path);

// Pages above this size are refused: the page length is a signed 32-bit count. The environment
// variable VARNOLUX_MAX_PAGE_BYTES can only lower it (tests do).
qint64 maxPageBytes();
