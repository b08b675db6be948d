#pragma once

#include <freerdp/freerdp.h>

#include <QImage>
#include <QPoint>

// The remote pointer: FreeRDP hands us the server's pointer shapes, we turn each into a QImage
// once and tell the session which one to show. Private to the control (FreeRDP types).

// Registers our pointer class with the connection's graphics module (after connecting).
void RegisterSessionPointer(rdpContext* context);

// Hands a pointer change to the session that owns context; lives with the session.
void ReportSessionCursor(rdpContext* context, const QImage& image, QPoint hotSpot, bool visible);
