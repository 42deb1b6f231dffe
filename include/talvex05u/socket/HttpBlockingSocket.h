#pragma once
// CHttpBlockingSocket: a connected stream socket with a 1000-byte read-ahead
// buffer, for reading an HTTP-style reply: header lines one by one, then the rest.
#include "talvex05u/socket/BlockingSocket.h"

class CHttpBlockingSocket : public CBlockingSocket {
public:
    static constexpr int kReadBufferSize = 1000;

    CHttpBlockingSocket();
    ~CHttpBlockingSocket() override;
    CHttpBlockingSocket(const CHttpBlockingSocket&) = delete;
    CHttpBlockingSocket& operator=(const CHttpBlockingSocket& other);  // takes handle and read-ahead state

    const CRuntimeClass* GetRuntimeClass() const override;
    static const CRuntimeClass* GetThisClass();

    int ReadHttpHeaderLine(char* destination, int size, int seconds);
    int ReadHttpResponse(char* destination, int size, int seconds);

    char* m_pReadBuf;
    int m_nReadBuf;
};
extern const CRuntimeClass classCHttpBlockingSocket;
