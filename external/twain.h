// TWAIN records, triplets and codes used by the acquisition layer and by the
// virtual scanner, written from the TWAIN standard's definitions. Records keep
// the standard's names and its 2-byte packing; DSM_Entry and DS_Entry are
// stdcall on 32-bit Windows.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#define TW_CALLINGSTYLE __stdcall
#else
// The native build only compiles the portable part of the layer; the calling
// convention does not exist there.
#define TW_CALLINGSTYLE
#endif

#pragma pack(push, 2)

// Basic types.
typedef char TW_STR32[34];
typedef char TW_STR64[66];
typedef char TW_STR128[130];
typedef char TW_STR255[256];

typedef int8_t TW_INT8;
typedef int16_t TW_INT16;
typedef int32_t TW_INT32;
typedef uint8_t TW_UINT8;
typedef uint16_t TW_UINT16;
typedef uint32_t TW_UINT32;
typedef uint16_t TW_BOOL;
typedef void* TW_MEMREF;
typedef void* TW_HANDLE;
typedef uintptr_t TW_UINTPTR;

// Fixed-point number: Whole + Frac / 65536.
typedef struct {
  TW_INT16 Whole;
  TW_UINT16 Frac;
} TW_FIX32, *pTW_FIX32;

typedef struct {
  TW_UINT16 MajorNum;
  TW_UINT16 MinorNum;
  TW_UINT16 Language;
  TW_UINT16 Country;
  TW_STR32 Info;
} TW_VERSION, *pTW_VERSION;

typedef struct {
  TW_UINT32 Id;
  TW_VERSION Version;
  TW_UINT16 ProtocolMajor;
  TW_UINT16 ProtocolMinor;
  TW_UINT32 SupportedGroups;
  TW_STR32 Manufacturer;
  TW_STR32 ProductFamily;
  TW_STR32 ProductName;
} TW_IDENTITY, *pTW_IDENTITY;

typedef struct {
  TW_UINT16 Cap;
  TW_UINT16 ConType;
  TW_HANDLE hContainer;
} TW_CAPABILITY, *pTW_CAPABILITY;

typedef struct {
  TW_UINT16 ItemType;
  TW_UINT32 Item;
} TW_ONEVALUE, *pTW_ONEVALUE;

typedef struct {
  TW_MEMREF pEvent;
  TW_UINT16 TWMessage;
} TW_EVENT, *pTW_EVENT;

typedef struct {
  TW_FIX32 XResolution;
  TW_FIX32 YResolution;
  TW_INT32 ImageWidth;
  TW_INT32 ImageLength;
  TW_INT16 SamplesPerPixel;
  TW_INT16 BitsPerSample[8];
  TW_INT16 BitsPerPixel;
  TW_BOOL Planar;
  TW_INT16 PixelType;
  TW_UINT16 Compression;
} TW_IMAGEINFO, *pTW_IMAGEINFO;

typedef struct {
  TW_FIX32 Left;
  TW_FIX32 Top;
  TW_FIX32 Right;
  TW_FIX32 Bottom;
} TW_FRAME, *pTW_FRAME;

typedef struct {
  TW_FRAME Frame;
  TW_UINT32 DocumentNumber;
  TW_UINT32 PageNumber;
  TW_UINT32 FrameNumber;
} TW_IMAGELAYOUT, *pTW_IMAGELAYOUT;

typedef struct {
  TW_UINT16 Count;
  union {
    TW_UINT32 EOJ;
    TW_UINT32 Reserved;
  };
} TW_PENDINGXFERS, *pTW_PENDINGXFERS;

typedef struct {
  TW_STR255 FileName;
  TW_UINT16 Format;
  TW_INT16 VRefNum;
} TW_SETUPFILEXFER, *pTW_SETUPFILEXFER;

typedef struct {
  TW_UINT32 MinBufSize;
  TW_UINT32 MaxBufSize;
  TW_UINT32 Preferred;
} TW_SETUPMEMXFER, *pTW_SETUPMEMXFER;

typedef struct {
  TW_UINT32 Flags;
  TW_UINT32 Length;
  TW_MEMREF TheMem;
} TW_MEMORY, *pTW_MEMORY;

typedef struct {
  TW_UINT16 Compression;
  TW_UINT32 BytesPerRow;
  TW_UINT32 Columns;
  TW_UINT32 Rows;
  TW_UINT32 XOffset;
  TW_UINT32 YOffset;
  TW_UINT32 BytesWritten;
  TW_MEMORY Memory;
} TW_IMAGEMEMXFER, *pTW_IMAGEMEMXFER;

typedef struct {
  TW_UINT16 ConditionCode;
  union {
    TW_UINT16 Data;
    TW_UINT16 Reserved;
  };
} TW_STATUS, *pTW_STATUS;

typedef struct {
  TW_BOOL ShowUI;
  TW_BOOL ModalUI;
  TW_HANDLE hParent;
} TW_USERINTERFACE, *pTW_USERINTERFACE;

// Capability containers; the items follow the fixed part.
typedef struct {
  TW_UINT16 ItemType;
  TW_UINT32 NumItems;
  TW_UINT8 ItemList[1];
} TW_ARRAY, *pTW_ARRAY;

typedef struct {
  TW_UINT16 ItemType;
  TW_UINT32 NumItems;
  TW_UINT32 CurrentIndex;
  TW_UINT32 DefaultIndex;
  TW_UINT8 ItemList[1];
} TW_ENUMERATION, *pTW_ENUMERATION;

typedef struct {
  TW_UINT16 ItemType;
  TW_UINT32 MinValue;
  TW_UINT32 MaxValue;
  TW_UINT32 StepSize;
  TW_UINT32 DefaultValue;
  TW_UINT32 CurrentValue;
} TW_RANGE, *pTW_RANGE;

typedef struct {
  TW_UINT8 Index;
  TW_UINT8 Channel1;
  TW_UINT8 Channel2;
  TW_UINT8 Channel3;
} TW_ELEMENT8, *pTW_ELEMENT8;

typedef struct {
  TW_UINT16 NumColors;
  TW_UINT16 PaletteType;
  TW_ELEMENT8 Colors[256];
} TW_PALETTE8, *pTW_PALETTE8;

#pragma pack(pop)

// Layouts the source manager and the sources rely on byte for byte.
static_assert(sizeof(TW_FIX32) == 4);
static_assert(sizeof(TW_VERSION) == 42);
static_assert(sizeof(TW_IDENTITY) == 156);
static_assert(sizeof(TW_SETUPFILEXFER) == 260);
static_assert(sizeof(TW_PENDINGXFERS) == 6);
static_assert(sizeof(TW_STATUS) == 4);
static_assert(sizeof(TW_IMAGEINFO) == 42);
static_assert(sizeof(TW_IMAGELAYOUT) == 28);
static_assert(sizeof(TW_ONEVALUE) == 6);
static_assert(sizeof(TW_SETUPMEMXFER) == 12);
static_assert(sizeof(TW_RANGE) == 22);
static_assert(sizeof(TW_PALETTE8) == 1028);
static_assert(sizeof(TW_FRAME) == 16);
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(TW_EVENT) == 6);
static_assert(sizeof(TW_USERINTERFACE) == 8);
static_assert(sizeof(TW_CAPABILITY) == 8);
static_assert(sizeof(TW_MEMORY) == 12);
static_assert(sizeof(TW_IMAGEMEMXFER) == 38);
#endif

// Protocol version the application announces.
#define TWON_PROTOCOLMAJOR 1
#define TWON_PROTOCOLMINOR 9

// Data groups.
#define DG_CONTROL 0x0001L
#define DG_IMAGE 0x0002L
#define DG_AUDIO 0x0004L
#define DF_DSM2 0x10000000L
#define DF_APP2 0x20000000L
#define DF_DS2 0x40000000L

// Data argument types.
#define DAT_NULL 0x0000
#define DAT_CAPABILITY 0x0001
#define DAT_EVENT 0x0002
#define DAT_IDENTITY 0x0003
#define DAT_PARENT 0x0004
#define DAT_PENDINGXFERS 0x0005
#define DAT_SETUPMEMXFER 0x0006
#define DAT_SETUPFILEXFER 0x0007
#define DAT_STATUS 0x0008
#define DAT_USERINTERFACE 0x0009
#define DAT_XFERGROUP 0x000a
#define DAT_CUSTOMDSDATA 0x000c
#define DAT_DEVICEEVENT 0x000d
#define DAT_FILESYSTEM 0x000e
#define DAT_PASSTHRU 0x000f
#define DAT_CALLBACK 0x0010
#define DAT_STATUSUTF8 0x0011
#define DAT_CALLBACK2 0x0012
#define DAT_IMAGEINFO 0x0101
#define DAT_IMAGELAYOUT 0x0102
#define DAT_IMAGEMEMXFER 0x0103
#define DAT_IMAGENATIVEXFER 0x0104
#define DAT_IMAGEFILEXFER 0x0105
#define DAT_CIECOLOR 0x0106
#define DAT_GRAYRESPONSE 0x0107
#define DAT_RGBRESPONSE 0x0108
#define DAT_JPEGCOMPRESSION 0x0109
#define DAT_PALETTE8 0x010a
#define DAT_EXTIMAGEINFO 0x010b

// Messages.
#define MSG_NULL 0x0000
#define MSG_GET 0x0001
#define MSG_GETCURRENT 0x0002
#define MSG_GETDEFAULT 0x0003
#define MSG_GETFIRST 0x0004
#define MSG_GETNEXT 0x0005
#define MSG_SET 0x0006
#define MSG_RESET 0x0007
#define MSG_QUERYSUPPORT 0x0008
#define MSG_XFERREADY 0x0101
#define MSG_CLOSEDSREQ 0x0102
#define MSG_CLOSEDSOK 0x0103
#define MSG_DEVICEEVENT 0x0104
#define MSG_CHECKSTATUS 0x0201
#define MSG_OPENDSM 0x0301
#define MSG_CLOSEDSM 0x0302
#define MSG_OPENDS 0x0401
#define MSG_CLOSEDS 0x0402
#define MSG_USERSELECT 0x0403
#define MSG_DISABLEDS 0x0501
#define MSG_ENABLEDS 0x0502
#define MSG_ENABLEDSUIONLY 0x0503
#define MSG_PROCESSEVENT 0x0601
#define MSG_ENDXFER 0x0701
#define MSG_STOPFEEDER 0x0702

// Return codes.
#define TWRC_SUCCESS 0
#define TWRC_FAILURE 1
#define TWRC_CHECKSTATUS 2
#define TWRC_CANCEL 3
#define TWRC_DSEVENT 4
#define TWRC_NOTDSEVENT 5
#define TWRC_XFERDONE 6
#define TWRC_ENDOFLIST 7
#define TWRC_INFONOTSUPPORTED 8
#define TWRC_DATANOTAVAILABLE 9

// Condition codes.
#define TWCC_SUCCESS 0
#define TWCC_BUMMER 1
#define TWCC_LOWMEMORY 2
#define TWCC_NODS 3
#define TWCC_MAXCONNECTIONS 4
#define TWCC_OPERATIONERROR 5
#define TWCC_BADCAP 6
#define TWCC_BADPROTOCOL 9
#define TWCC_BADVALUE 10
#define TWCC_SEQERROR 11
#define TWCC_BADDEST 12
#define TWCC_CAPUNSUPPORTED 13
#define TWCC_CAPBADOPERATION 14
#define TWCC_CAPSEQERROR 15
#define TWCC_DENIED 16
#define TWCC_FILEEXISTS 17
#define TWCC_FILENOTFOUND 18
#define TWCC_NOTEMPTY 19
#define TWCC_PAPERJAM 20
#define TWCC_PAPERDOUBLEFEED 21
#define TWCC_FILEWRITEERROR 22
#define TWCC_CHECKDEVICEONLINE 23

// File formats (ICAP_IMAGEFILEFORMAT, TW_SETUPFILEXFER.Format).
#define TWFF_TIFF 0
#define TWFF_PICT 1
#define TWFF_BMP 2
#define TWFF_XBM 3
#define TWFF_JFIF 4
#define TWFF_FPX 5
#define TWFF_TIFFMULTI 6
#define TWFF_PNG 7
#define TWFF_SPIFF 8
#define TWFF_EXIF 9

// Pixel types, compression, transfer mechanisms.
#define TWPT_BW 0
#define TWPT_GRAY 1
#define TWPT_RGB 2
#define TWPT_PALETTE 3
#define TWPT_CMY 4
#define TWPT_CMYK 5
#define TWPT_YUV 6
#define TWPT_YUVK 7
#define TWPT_CIEXYZ 8
#define TWPT_BGR 12
#define TWCP_NONE 0
#define TWSX_NATIVE 0
#define TWSX_FILE 1
#define TWSX_MEMORY 2

// Containers and item types.
#define TWON_ARRAY 3
#define TWON_ENUMERATION 4
#define TWON_ONEVALUE 5
#define TWON_RANGE 6
#define TWON_DONTCARE8 0xff
#define TWON_DONTCARE16 0xffff
#define TWON_DONTCARE32 0xffffffff
#define TWTY_INT8 0x0000
#define TWTY_INT16 0x0001
#define TWTY_INT32 0x0002
#define TWTY_UINT8 0x0003
#define TWTY_UINT16 0x0004
#define TWTY_UINT32 0x0005
#define TWTY_BOOL 0x0006
#define TWTY_FIX32 0x0007
#define TWTY_FRAME 0x0008
#define TWTY_STR32 0x0009
#define TWTY_STR64 0x000a
#define TWTY_STR128 0x000b
#define TWTY_STR255 0x000c
#define TWTY_STR1024 0x000d
#define TWTY_UNI512 0x000e

// Memory buffers of a memory transfer (TW_MEMORY.Flags).
#define TWMF_APPOWNS 0x0001
#define TWMF_DSMOWNS 0x0002
#define TWMF_DSOWNS 0x0004
#define TWMF_POINTER 0x0008
#define TWMF_HANDLE 0x0010

// Palette types (TW_PALETTE8.PaletteType).
#define TWPA_RGB 0
#define TWPA_GRAY 1
#define TWPA_CMY 2

// Units (ICAP_UNITS).
#define TWUN_INCHES 0
#define TWUN_CENTIMETERS 1
#define TWUN_PICAS 2
#define TWUN_POINTS 3
#define TWUN_TWIPS 4
#define TWUN_PIXELS 5

// Pixel flavours (ICAP_PIXELFLAVOR).
#define TWPF_CHOCOLATE 0
#define TWPF_VANILLA 1

// Orientation (ICAP_ORIENTATION).
#define TWOR_ROT0 0
#define TWOR_ROT90 1
#define TWOR_ROT180 2
#define TWOR_ROT270 3
#define TWOR_PORTRAIT TWOR_ROT0
#define TWOR_LANDSCAPE TWOR_ROT270

// Paper sizes (ICAP_SUPPORTEDSIZES).
#define TWSS_NONE 0
#define TWSS_A4 1
#define TWSS_B5LETTER 2
#define TWSS_USLETTER 3
#define TWSS_USLEGAL 4
#define TWSS_A5 5
#define TWSS_B4 6
#define TWSS_B6 7

// Automatic size (ICAP_AUTOSIZE).
#define TWAS_NONE 0
#define TWAS_AUTO 1
#define TWAS_CURRENT 2

// Duplex kinds (CAP_DUPLEX).
#define TWDX_NONE 0
#define TWDX_1PASSDUPLEX 1
#define TWDX_2PASSDUPLEX 2

// Capabilities.
#define CAP_XFERCOUNT 0x0001
#define ICAP_COMPRESSION 0x0100
#define ICAP_PIXELTYPE 0x0101
#define ICAP_UNITS 0x0102
#define ICAP_XFERMECH 0x0103
#define CAP_FEEDERENABLED 0x1002
#define CAP_FEEDERLOADED 0x1003
#define CAP_AUTOFEED 0x1007
#define CAP_INDICATORS 0x100b
#define CAP_UICONTROLLABLE 0x100e
#define CAP_DUPLEX 0x1012
#define CAP_DUPLEXENABLED 0x1013
#define ICAP_BITDEPTH 0x112b
#define ICAP_IMAGEFILEFORMAT 0x110c
#define ICAP_ORIENTATION 0x1110
#define ICAP_PHYSICALWIDTH 0x1111
#define ICAP_PHYSICALHEIGHT 0x1112
#define ICAP_XRESOLUTION 0x1118
#define ICAP_YRESOLUTION 0x1119
#define ICAP_PIXELFLAVOR 0x111f
#define ICAP_SUPPORTEDSIZES 0x1122
#define ICAP_UNDEFINEDIMAGESIZE 0x112d
#define ICAP_AUTOMATICBORDERDETECTION 0x1150
#define ICAP_AUTOMATICDESKEW 0x1151
#define ICAP_AUTOMATICROTATE 0x1152
#define ICAP_AUTOSIZE 0x1156

// Country and language of the identity's version record.
#define TWCY_USA 1

// The source manager's single entry point (exported by ordinal 1) and a data
// source's entry point.
typedef TW_UINT16(TW_CALLINGSTYLE* DSMENTRYPROC)(pTW_IDENTITY pOrigin, pTW_IDENTITY pDest, TW_UINT32 DG, TW_UINT16 DAT,
                                                 TW_UINT16 MSG, TW_MEMREF pData);
typedef TW_UINT16(TW_CALLINGSTYLE* DSENTRYPROC)(pTW_IDENTITY pOrigin, TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG,
                                                TW_MEMREF pData);
