//+------------------------------------------------------------------+
//|                                               MovuJobsExpert.mq5 |
//| Runs movu requests as background jobs so OnTick never waits:      |
//| today's calendar, the VIP status and a heartbeat, started and     |
//| polled from OnTimer, all cancelled in OnDeinit.                   |
//+------------------------------------------------------------------+
#property copyright "movu"
#property version   "1.00"

#include <movu_mt5.mqh>

input string InpBaseUrl="http://127.0.0.1:8787";   // Service base URL
input int    InpPollMs=500;                         // Poll period, ms
input int    InpRefreshSeconds=300;                 // Start new requests every N seconds

CMovuClient g_movu;
int         g_dayJob=0;        // 0: no job outstanding
int         g_vipJob=0;
int         g_heartbeatJob=0;
datetime    g_nextStart=0;

//+------------------------------------------------------------------+
int OnInit()
  {
   if(!MovuDllsAllowed())
      return(INIT_FAILED);
   Movu_SetBaseUrl(InpBaseUrl);
   Movu_SetTerminalDataPath(TerminalInfoString(TERMINAL_DATA_PATH));
   g_movu.LoadIdentity();      // the account is known once the terminal is connected
   if(!EventSetMillisecondTimer(InpPollMs<50 ? 50 : InpPollMs))
     {
      Print("movu: cannot start the timer");
      return(INIT_FAILED);
     }
   return(INIT_SUCCEEDED);
  }

//+------------------------------------------------------------------+
void OnDeinit(const int reason)
  {
   EventKillTimer();
//--- nothing may stay behind in the library: release every job
   if(g_heartbeatJob>0)
      Movu_Cancel(g_heartbeatJob);
   g_movu.CancelAll();
   g_dayJob=0;
   g_vipJob=0;
   g_heartbeatJob=0;
  }

//+------------------------------------------------------------------+
void OnTick()
  {
//--- trading logic only; all network work runs on the library's threads
  }

//+------------------------------------------------------------------+
//| A timer event is not queued while one is pending, so a slow poll  |
//| never piles up.                                                   |
//+------------------------------------------------------------------+
void OnTimer()
  {
   PollJob(g_dayJob,"calendar");
   PollJob(g_vipJob,"vip status");
   PollJob(g_heartbeatJob,"heartbeat");
   if(TimeLocal()>=g_nextStart)
     {
      StartJobs();
      g_nextStart=TimeLocal()+InpRefreshSeconds;
     }
  }

//+------------------------------------------------------------------+
//| Starts each request unless its previous job is still running.     |
//+------------------------------------------------------------------+
void StartJobs()
  {
   if(g_movu.Account()=="")
      g_movu.LoadIdentity();
   if(g_dayJob==0)
      g_dayJob=Checked(g_movu.StartCalendarDay(MovuDate(TimeGMT())),"calendar");
   if(g_vipJob==0)
      g_vipJob=Checked(g_movu.StartVipStatus(),"vip status");
   if(g_heartbeatJob==0)
     {
      //--- the heartbeat has no start export of its own: any signed path
      //--- runs in the background through Movu_GetAsyncSigned
      string body=StringFormat("{\"program\":\"%s\",\"symbol\":\"%s\"}",MQLInfoString(MQL_PROGRAM_NAME),_Symbol);
      int id=0;
      int rc=Movu_GetAsyncSignedW(g_movu.Account(),g_movu.Platform(),g_movu.Broker(),g_movu.Server(),
                                  g_movu.ClientVersion(),"/v1/client/heartbeat.php","","POST",body,id);
      g_heartbeatJob=Checked(rc==MOVU_OK ? id : rc,"heartbeat");
     }
  }

//+------------------------------------------------------------------+
//| A start result: the job id, or a negative code (logged, 0 kept).  |
//+------------------------------------------------------------------+
int Checked(const int id_or_code,const string what)
  {
   if(id_or_code>0)
      return(id_or_code);
   PrintFormat("movu: %s not started: %d (%s)",what,id_or_code,MovuResultText(id_or_code));
   return(0);
  }

//+------------------------------------------------------------------+
//| Polls one job; when it has finished, logs the outcome. The        |
//| wrapper releases the job once its text has been read.             |
//+------------------------------------------------------------------+
void PollJob(int &id,const string what)
  {
   if(id<=0)
      return;
   string text;
   int http=0;
   int state=g_movu.Poll(id,text,http);
   if(state==MOVU_JOB_RUNNING)
      return;
   int rc=g_movu.LastResult();
   id=0;
   if(state==MOVU_JOB_SUCCEEDED)
      PrintFormat("movu: %s: HTTP %d, %d characters: %s",what,http,StringLen(text),StringSubstr(text,0,300));
   else
      PrintFormat("movu: %s failed: %d (%s), HTTP %d: %s",what,rc,MovuResultText(rc),http,StringSubstr(text,0,300));
  }
//+------------------------------------------------------------------+
