// The executable names of security and analysis tools that an "Image File
// Execution Options" subkey must not be named after. Four entries end with a
// blank that belongs to the name.
#include "repair/protected_tools.h"

namespace torvane::repair {

const std::array<const char*, kProtectedToolCount> kProtectedTools = {
    "360Safe.exe", "360rpt.exe", "360Safebox.exe", "360Tray.exe", "adam.exe",  // 0
    "AgentSvr.exe", "AppSvc32.exe", "autoruns.exe", "avconsol.exe", "avgrssvc.exe ",  // 5
    "AvMonitor.exe", "avp.com", "avp.exe", "CCenter.exe", "ccSvcHst.exe ",  // 10
    "EGHOST.exe", "FileDsty.exe", "FTCleanerShell.exe", "FYFireWall.exe", "HijackThis.exe",  // 15
    "IceSword.exe", "iparmo.exe", "Iparmor.exe", "isPwdSvc.exe", "kabaload.exe",  // 20
    "KaScrScn.scr", "KASMain.exe", "KASTask.exe", "KAV32.exe", "KAVDX.exe",  // 25
    "KAVPF.exe", "KAVPFW.exe", "KAVStart.exe", "KAVSetup.exe", "KISLnchr.exe",  // 30
    "KMailMon.exe", "KMFilter.exe", "KPFW32.exe", "KPFW32X.exe", "KPfwSvc.exe",  // 35
    "KRegEx.exe", "KRepair.com", "KsLoader.exe", "KVCenter.kxp", "KvDetect.exe",  // 40
    "KvfwMcl.exe", "KVMonXP.kxp", "KVMonXP_1.kxp", "kvol.exe", "kvolself.exe",  // 45
    "KvReport.kxp", "KVScan.kxp", "KVSrvXP.exe", "KVStub.kxp", "kvupload.exe",  // 50
    "kvwsc.exe", "KvXP.kxp", "KvXP_1.kxp", "KWatch.exe", "KWatch9x.exe",  // 55
    "KWatchX.exe", "MagicSet.exe", "mcconsol.exe", "mmqczj.exe", "mmsk.exe",  // 60
    "Navapsvc.exe", "Navapw32.exe", "nod32.exe", "nod32krn.exe", "nod32kui.exe",  // 65
    "NPFMntor.exe", "OllyDBG.exe", "OllyICE.exe", "PFW.exe", "PFWLiveUpdate.exe",  // 70
    "procexp.exe ", "QHSET.exe", "QQDoctor.exe", "QQKav.exe", "Ras.exe",  // 75
    "RavMonD.exe", "RavStub.exe", "RawCopy.exe", "RegClean.exe", "RegTool.exe",  // 80
    "rfwcfg.exe", "rfwmain.exe", "rfwProxy.exe", "rfwsrv.exe", "rfwstub.exe",  // 85
    "RsAgent.exe", "Rsaupd.exe ", "runiep.exe", "safebank.exe", "safeboxTray.exe",  // 90
    "safelive.exe", "scan32.exe", "shcfg32.exe", "SmartUp.exe", "SREng.exe",  // 95
    "symlcsvc.exe", "Kestrow.exe", "TrojanDetector.exe", "TrojDie.kxp", "UIHost.exe",  // 100
    "UmxAgent.exe", "UmxAttachment.exe", "UmxCfg.exe", "UmxFwHlp.exe", "UmxPol.exe",  // 105
    "UpLive.exe", "vsstat.exe", "webscanx.exe", "WinDbg.exe", "WoptiClean.exe",  // 110
};

}  // namespace torvane::repair
