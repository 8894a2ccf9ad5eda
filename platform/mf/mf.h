// Everything of the media-object model in one include.
#pragma once

#include "platform/mf/allocator.h"
#include "platform/mf/attributes.h"
#include "platform/mf/descriptors.h"
#include "platform/mf/events.h"
#include "platform/mf/guid.h"
#include "platform/mf/guids.h"
#include "platform/mf/hresult.h"
#include "platform/mf/propvariant.h"
#include "platform/mf/sample.h"
#include "platform/mf/source.h"
#include "platform/mf/system_time.h"
#include "platform/mf/unknown.h"
