// Settings of the virtual scanner, read from the ini file beside the .ds
// (same name, extension ".ini"), section [Scanner].
#pragma once

#include <string>
#include <vector>

#include "page_image.h"

namespace skan::virtual_scanner {

struct TScannerConfig {
  bool unattended = false;                 // Unattended=1: no dialog, the batch starts at once
  int pages = 3;                           // Pages=
  TPixelType pixelType = TPixelType::Rgb;  // PixelType=RGB|Gray|BW|Palette
  int resolution = 150;                    // Resolution= dots per inch
  int cancelAtPage = 0;                    // CancelAtPage=k: page k ends with TWRC_CANCEL (0: never)
  int failPage = 0;                        // FailPage=k: page k fails with TWCC_OPERATIONERROR (0: never)
  bool indeterminate = false;              // Indeterminate=1: a feeder, count 0xFFFF until the last page
  bool closeRequest = false;               // CloseRequest=1: unattended, ask to be closed instead of scanning
  // NativeBitfields=1: colour pages of a native transfer come as 32-bit
  // BI_BITFIELDS bitmaps (three colour masks after the header).
  bool nativeBitfields = false;
  std::string imageFolder;     // ImageFolder=: deliver the *.bmp files of this folder instead
  int memBufferSize = 65536;   // MemBufferSize=: preferred buffer size of a memory transfer
  bool noPixelFlavor = false;  // NoPixelFlavor=1: ICAP_PIXELFLAVOR is not supported
  bool palette8Fails = false;  // Palette8Fails=1: DAT_PALETTE8 fails
  // FailKeepsPending=1: a failed page (FailPage=k) stays pending, so every
  // later transfer fails on it again and MSG_ENDXFER never counts down.
  bool failKeepsPending = false;
  bool noFileTransfer = false;    // NoFileTransfer=1: native and memory transfer only
  bool noNativeTransfer = false;  // NoNativeTransfer=1: no native transfer
  // MemRowsUnpadded=1: memory-transfer rows hold just their pixels
  // (BytesPerRow not rounded up to 4 bytes).
  bool memRowsUnpadded = false;
  // File pages: FileClrUsed0=1 writes biClrUsed 0 for a full colour table,
  // FileTopDown=1 rows top-down (negative height), FileV5Header=1 a
  // BITMAPV5HEADER. They combine.
  bool fileClrUsed0 = false;
  bool fileTopDown = false;
  bool fileV5Header = false;
  int pageDelayMs = 0;  // PageDelay=ms: each page takes this long, as a feeder's would
  // Duplex=1: CAP_DUPLEX answers one-pass duplex and CAP_DUPLEXENABLED may
  // be set; with it on, every sheet gives two pages (front and back).
  bool duplex = false;
  // Resolutions=100,200,300: the only resolutions offered and taken (with
  // Resolution=); others are refused with TWCC_BADVALUE. Empty: the usual list,
  // any of 50 to 1200 taken.
  std::vector<int> resolutions;
};

// Parses the ini text; unknown keys and other sections are ignored, bad
// numbers keep the default.
TScannerConfig ParseConfig(const std::string& text);

}  // namespace skan::virtual_scanner
