// What the tools (nalpoi, nalpoi-service) and the test hosts that run
// beside the built library (tests/support/host_files.cpp) share with the
// library beyond its public header, in one place: they are hosts, and reach
// the library's internals through this header alone (target
// nalpoicomm_seam), never by path into its layers.
//
//  - the wire's base64 (Base64Encode, Base64Decode, IsBase64Character, and
//    Base64DecodeInto with what the decoder left aside) and the request
//    documents (BuildUpdateRequest, BuildBatchRequest);
//  - the service configuration as the library reads it (ReadServiceUrl with
//    a ServiceConfigReading that says why there is no URL; kServiceUrlStore)
//    and the URL split as the worker splits it (SplitServiceUrl);
//  - the install tree as the library finds it (GetModulePath, GetInstallDir)
//    and its files (FormConfigPath, kConfigDirFormat, kServiceConfigFormat,
//    kReplyCacheFormat), and the 8-bit/wide conversions;
//  - one update exchange with an observer told every step of the worker's
//    exchange (ObservedUpdateRequest, ExchangeObserver), its limits
//    (kUpdateTimeLimitMs, kReplyStoreSize) and the worker's tests of a reply
//    (ContentLengthTaken, ReplyTextTaken);
//  - the guarded XML parse the library reads every reply with (GuardedParse).
//
// The code behind it is the library's own, linked statically into the tool:
// the shared library exports the two operations only.
#ifndef NALPOICOMM_SEAM_NALPOICOMM_SEAM_H
#define NALPOICOMM_SEAM_NALPOICOMM_SEAM_H

#include "NalPoiComm.h"
#include "encoding/base64.h"
#include "encoding/request_documents.h"
#include "interface/exchange_sequence.h"
#include "interface/observed_update.h"
#include "transport/exchange_observer.h"
#include "transport/exchange_worker.h"
#include "transport/install_paths.h"
#include "transport/service_config.h"
#include "transport/service_url.h"
#include "transport/text_conversion.h"
#include "xml/guarded_parse.h"

#endif
