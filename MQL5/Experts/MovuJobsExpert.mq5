//+------------------------------------------------------------------+
//|                                               MovuJobsExpert.mq5 |
//| Runs movu requests as background jobs so OnTick never waits:      |
//| today's calendar (held and kept current), the VIP status and a    |
//| heartbeat, started and polled from OnTimer, cancelled in OnDeinit.|
//|                                                                  |
//| Live, the calendar days it fetches are recorded in MQL5\Files;    |
//| in the Strategy Tester it reads them back and calls no DLL, so a  |
//| backtest is repeatable and runs where DLLs are refused.           |
//+------------------------------------------------------------------+
#property copyright "movu"
#property version   "1.10"
//--- hands the recorded days to every tester agent, remote ones included

#include <movu_mt5.mqh>

input string InpBaseUrl="http://127.0.0.1:8787";   // Service base URL
input int    InpPollMs=500;                         // Poll period, ms
input int    InpRefreshSeconds=300;                 // Refresh every N seconds
input int    InpRetrySeconds=15;                    // Retry a failed request after N seconds
input bool   InpRecordDays=true;                    // Record fetched days for the tester
input int    InpTesterClock=MOVU_CLOCK_US_DST;      // Tester: server clock on days not recorded (MOVU_CLOCK_*)
input int    InpTesterUtcOffset=7200;               // Tester: the offset from UTC for MOVU_CLOCK_FIXED, s

CMovuClient      g_movu;
CMovuCalendarDay g_day;
int              g_vipJob;
int              g_heartbeatJob;
datetime         g_nextCalendar;
datetime         g_nextVip;
datetime         g_nextHeartbeat;

//+------------------------------------------------------------------+
//| An expert keeps its globals across a symbol or timeframe change:  |
//| every piece of state is set here, not at its declaration.         |
//+------------------------------------------------------------------+
int OnInit()
  {
   bool tester=(bool)MQLInfoInteger(MQL_TESTER);
   if(!tester && !MovuDllsAllowed())
      return(INIT_FAILED);
   g_vipJob=0;
   g_heartbeatJob=0;
   g_nextCalendar=0;
   g_nextVip=0;
   g_nextHeartbeat=0;
   g_movu.SetRecording(InpRecordDays ? MOVU_RECORD_COMMON : MOVU_RECORD_OFF);
   g_movu.SetTesterClock(InpTesterClock,InpTesterUtcOffset);
   g_day.Reset(MovuDate(g_movu.NowUtc()));
   g_movu.SetBaseUrl(InpBaseUrl);
   g_movu.UseTerminalDataPath();
   if(!EventSetMillisecondTimer(InpPollMs<50 ? 50 : InpPollMs))
     {
      Print("movu: cannot start the timer");
      return(INIT_FAILED);
     }
   PrintFormat("movu: started%s, base URL %s",tester ? " in the tester (recorded days)" : "",InpBaseUrl);
   return(INIT_SUCCEEDED);
  }

//+------------------------------------------------------------------+
void OnDeinit(const int reason)
  {
   EventKillTimer();
//--- nothing may stay behind in the library: release every job
   g_day.Cancel(g_movu);
   g_movu.CancelAll();
   g_vipJob=0;
   g_heartbeatJob=0;
  }

//+------------------------------------------------------------------+
void OnTick()
  {
//--- trading logic only; g_day.events holds the day's calendar
  }

//+------------------------------------------------------------------+
//| A timer event is not queued while one is pending, so a slow poll  |
//| never piles up.                                                   |
//+------------------------------------------------------------------+
void OnTimer()
  {
   datetime now=TimeLocal();
   if(MQLInfoInteger(MQL_TESTER))
      now=TimeCurrent();
   PollCalendar(now);
   PollJob(g_vipJob,"vip status",g_nextVip,now);
   PollJob(g_heartbeatJob,"heartbeat",g_nextHeartbeat,now);
//--- a new UTC day: start over with it
   string today=MovuDate(g_movu.NowUtc());
   if(today!=g_day.date && !g_day.Busy())
     {
      g_day.Reset(today);
      g_nextCalendar=0;
     }
   if(now>=g_nextCalendar && !g_day.Busy())
      g_nextCalendar=now+Started(g_day.Start(g_movu),"calendar");
   if(MQLInfoInteger(MQL_TESTER))
      return;                  // the tester gets the calendar only
   if(now>=g_nextVip && g_vipJob==0)
     {
      int id=g_movu.StartVipStatus();
      g_nextVip=now+Started(id,"vip status");
      g_vipJob=(id>0 ? id : 0);
     }
   if(now>=g_nextHeartbeat && g_heartbeatJob==0)
     {
      //--- texts go into the body JSON-escaped: a program or symbol name
      //--- may hold quotes or backslashes
      string body="{\"program\":"+MovuJsonString(MQLInfoString(MQL_PROGRAM_NAME))+
                  ",\"symbol\":"+MovuJsonString(_Symbol)+"}";
      int id=g_movu.StartRequest(MOVU_PATH_HEARTBEAT,"","POST",body);
      g_nextHeartbeat=now+Started(id,"heartbeat");
      g_heartbeatJob=(id>0 ? id : 0);
     }
  }

//+------------------------------------------------------------------+
//| Seconds until the next start of a kind: the refresh period when   |
//| it started (a job id, or MOVU_OK), a short retry when it did not (no account yet, busy,  |
//| paced); the client's back-off keeps 429/5xx retries apart.        |
//+------------------------------------------------------------------+
int Started(const int id_or_code,const string what)
  {
   if(id_or_code>=0)
      return(InpRefreshSeconds);
   if(id_or_code!=MOVU_ERR_TOO_SOON && id_or_code!=MOVU_ERR_BUSY)
      PrintFormat("movu: %s not started: %d (%s)",what,id_or_code,MovuResultText(id_or_code));
   return(InpRetrySeconds);
  }

//+------------------------------------------------------------------+
void PollCalendar(const datetime now)
  {
   if(!g_day.Busy())
      return;
   int state=g_day.Poll(g_movu);
   if(state==MOVU_JOB_RUNNING)
      return;
   if(state!=MOVU_JOB_SUCCEEDED)
     {
      PrintFormat("movu: calendar %s failed: %d (%s) %s",g_day.date,g_day.LastResult(),
                  MovuResultText(g_day.LastResult()),g_day.Error());
      g_nextCalendar=now+InpRetrySeconds;
      return;
     }
   int n=ArraySize(g_day.events);
   int high=0;
   for(int i=0; i<n; i++)
      if(g_day.events[i].importance==MOVU_IMPORTANCE_HIGH)
         high++;
   PrintFormat("movu: calendar %s: %d events, %d of high importance",g_day.date,n,high);
  }

//+------------------------------------------------------------------+
//| Polls one job; when it has finished, logs the outcome and, after  |
//| a failure, asks again soon. The wrapper releases the job.         |
//+------------------------------------------------------------------+
void PollJob(int &id,const string what,datetime &next,const datetime now)
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
      PrintFormat("movu: %s: HTTP %d: %s",what,http,StringSubstr(text,0,200));
   else
     {
      PrintFormat("movu: %s failed: %d (%s), HTTP %d: %s",what,rc,MovuResultText(rc),http,StringSubstr(text,0,200));
      next=now+InpRetrySeconds;
     }
  }
//+------------------------------------------------------------------+
