#pragma once
// The library's application interface.

#include <ombrelia/AnalyticsManager.hpp>
#include <ombrelia/AnalyticsManagerProtocol.hpp>
#include <ombrelia/ApplicationState.hpp>
#include <ombrelia/Data.hpp>
#include <ombrelia/Manifest.hpp>
#include <ombrelia/ManifestManager.hpp>
#include <ombrelia/OLogLevel.hpp>
#include <ombrelia/OLogModule.hpp>
#include <ombrelia/OLoggerConfig.hpp>
#include <ombrelia/OmbreliaConfig.hpp>
#include <ombrelia/OmbreliaLogger.hpp>
#include <ombrelia/PeerListManager.hpp>
#include <ombrelia/ProxyManager.hpp>
#include <ombrelia/ProxyStartError.hpp>
#include <ombrelia/SegmentInfo.hpp>
#include <ombrelia/SegmentMedia.hpp>
#include <ombrelia/SegmentType.hpp>
#include <ombrelia/Url.hpp>
#include <ombrelia/VideoStorageManager.hpp>
