// Everything of the media-object model in one include.
//
// Why a media-object model on Linux: the camera library is written the way a
// platform camera source is written (reference-counted interfaces, attribute
// stores, media types, an event queue, samples from an allocator), so that its
// logic, its states and its HRESULTs stay those of a real camera source and
// could be built against the original platform unchanged. This folder is the
// smallest stand-in that holds it up: only the interfaces, methods, GUIDs and
// events that the library and the camera host use, in the platform's method
// order. The camera host drives it as the platform's frame server would.
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
