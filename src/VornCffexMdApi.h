// The connector and callback interfaces behind the three exported C functions.
#pragma once

#include "VornCffexMd_interface.h"

class CVornCffexMdSpi {
public:
    virtual void OnVornCffexMd_verison_1(const MarketDepthUpdate& refMd) = 0;
    virtual void OnVornCffexMd_verison_2(const VornCffexMdType& refMd) = 0;
};

class CVornCffexMdSpiImpl : public CVornCffexMdSpi {
public:
    void OnVornCffexMd_verison_1(const MarketDepthUpdate&) override {}
    void OnVornCffexMd_verison_2(const VornCffexMdType&) override {}
};

class CVornCffexMdApi {
public:
    virtual int VornRecvStart(CVornCffexMdSpi& refVornCffexMdSpi, const char* lpConfig) = 0;
    virtual int VornStart(CVornCffexMdSpi& refVornCffexMdSpi, const char* lpConfig) = 0;
    virtual int VornRecv() = 0;

    static CVornCffexMdApi* CreateVornCffexMdApi();
    static void DestroyVornCffexMdApi(CVornCffexMdApi& refApi);

protected:
    ~CVornCffexMdApi() = default;
};
