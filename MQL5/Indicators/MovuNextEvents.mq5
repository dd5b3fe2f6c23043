//+------------------------------------------------------------------+
//|                                               MovuNextEvents.mq5 |
//| Shows the day's next calendar events in the chart corner, at the  |
//| trade server's time; an event leaves the list once its time has   |
//| passed.                                                           |
//|                                                                  |
//| Indicators may not use the terminal's WebRequest, and all         |
//| indicators of a symbol share one thread, so this one never makes  |
//| a synchronous request: CMovuCalendarDay fetches the day in the    |
//| background, then only its changes, polled from OnTimer. Attach it |
//| to a chart directly: an indicator created by another program      |
//| through iCustom receives no timer events.                         |
//|                                                                  |
//| Live, the days it fetches are recorded with the moment they were  |
//| seen; in the Strategy Tester it shows them as recorded by then,   |
//| with no DLL call.                                                 |
//+------------------------------------------------------------------+
#property copyright "movu"
#property version   "1.10"
#property indicator_chart_window
#property indicator_plots 0
//--- In the tester it reads the recorded days, one file a day. Local agents
//--- read them in Common\Files\movu_calendar. Remote and cloud agents get
//--- only the files a program names: record with InpRecordLocal (or copy the
//--- days to MQL5\Files\movu_calendar) and name each day the test covers,
//--- one line a day (docs/calendar-data.md), e.g.
//---    #property tester_file "movu_calendar\\2024-03-05.txt"

#include <movu_mt5.mqh>

input string InpBaseUrl="";                         // Service base URL (empty: keep the terminal's setting)
input int    InpMaxEvents=5;                        // Events shown
input int    InpRefreshSeconds=600;                 // Ask again every N seconds
input int    InpRetrySeconds=30;                    // Ask again after a failure
input bool   InpRecordDays=true;                    // Record fetched days for the tester
input bool   InpRecordLocal=false;                  // Record in MQL5\Files (remote agents), not Common\Files
input int    InpTesterClock=MOVU_CLOCK_US_DST;      // Tester: server clock on days not recorded (MOVU_CLOCK_*)
input int    InpTesterUtcOffset=7200;               // Tester: the offset from UTC for MOVU_CLOCK_FIXED, s

CMovuClient      g_movu;
CMovuCalendarDay g_day;
datetime         g_nextStart;
string           g_status;
string           g_shown;

//+------------------------------------------------------------------+
//| Globals survive a timeframe change: every piece of state is set   |
//| here. In the tester no DLL is called, so none need be allowed.    |
//+------------------------------------------------------------------+
int OnInit()
  {
   if(!MQLInfoInteger(MQL_TESTER) && !MovuDllsAllowed())
      return(INIT_FAILED);
   g_nextStart=0;
   g_status="waiting for the calendar...";
   g_shown="";
   g_movu.SetRecording(!InpRecordDays ? MOVU_RECORD_OFF : InpRecordLocal ? MOVU_RECORD_LOCAL : MOVU_RECORD_COMMON);
   g_movu.SetTesterClock(InpTesterClock,InpTesterUtcOffset);
   g_day.Reset(MovuDate(g_movu.NowUtc()));
//--- the base URL is the terminal's, shared by all its programs: set only when asked
   if(InpBaseUrl!="")
      g_movu.SetBaseUrl(InpBaseUrl);
   g_movu.UseTerminalDataPath();
   if(!EventSetTimer(1))
      return(INIT_FAILED);
   Show();
   return(INIT_SUCCEEDED);
  }

//+------------------------------------------------------------------+
void OnDeinit(const int reason)
  {
   EventKillTimer();
   g_day.Cancel(g_movu);
   g_movu.CancelAll();
   Comment("");
  }

//+------------------------------------------------------------------+
int OnCalculate(const int rates_total,const int prev_calculated,const int begin,const double &price[])
  {
   return(rates_total);
  }

//+------------------------------------------------------------------+
//| Every second: poll or start the day's request, then redraw, so an |
//| event leaves the list once its time has passed.                   |
//+------------------------------------------------------------------+
void OnTimer()
  {
   Refresh();
   Show();
  }

//+------------------------------------------------------------------+
void Refresh(void)
  {
   datetime now=(MQLInfoInteger(MQL_TESTER) ? TimeCurrent() : TimeLocal());
   if(g_day.Busy())
     {
      int state=g_day.Poll(g_movu);
      if(state==MOVU_JOB_RUNNING)
         return;
      if(state==MOVU_JOB_SUCCEEDED)
         g_status="";
      else
        {
         g_status=StringFormat("calendar failed: %d (%s) %s",g_day.LastResult(),
                               MovuResultText(g_day.LastResult()),g_day.Error());
         g_nextStart=now+InpRetrySeconds;
        }
      return;
     }
   string today=MovuDate(g_movu.NowUtc());
   if(today!=g_day.date)
     {
      g_day.Reset(today);
      g_nextStart=0;
     }
   if(now<g_nextStart)
      return;
   int rc=g_day.Start(g_movu);
   if(rc==MOVU_OK)
     {
      g_nextStart=now+InpRefreshSeconds;
      return;
     }
//--- no account yet, paced or backing off: wait on the kind just refused
   g_status=StringFormat("calendar not started: %d (%s)",rc,MovuResultText(rc));
   g_nextStart=now+(rc==MOVU_ERR_TOO_SOON ? 1+g_movu.WaitMs(g_day.Kind())/1000 : InpRetrySeconds);
  }

//+------------------------------------------------------------------+
//| The first InpMaxEvents events not yet past, at server time; the   |
//| chart is written only when that changes.                          |
//+------------------------------------------------------------------+
void Show()
  {
   datetime now=g_movu.NowUtc();
   int offset=(MQLInfoInteger(MQL_TESTER) ? (int)(TimeCurrent()-now) : MovuServerOffset());
   string lines=StringFormat("movu: next events (server time, UTC%+.1f)",offset/3600.0);
   if(g_status!="")
      lines+="\n"+g_status;
   int shown=0;
   for(int i=0; i<ArraySize(g_day.events) && shown<InpMaxEvents; i++)
     {
      MovuCalendarEvent e=g_day.events[i];
      if(e.time<now)
         continue;
      string stars=(e.importance==MOVU_IMPORTANCE_HIGH ? "***" : e.importance==MOVU_IMPORTANCE_MEDIUM ? "** " : "*  ");
      string forecast=(e.has_forecast ? StringFormat("  forecast %s%s",DoubleToString(e.forecast,2),e.unit) : "");
      lines+=StringFormat("\n%s  %s %s  %s%s",TimeToString(MovuUtcToServer(e.time,offset),TIME_MINUTES),
                          stars,e.currency,e.title,forecast);
      shown++;
     }
   if(shown==0 && g_day.Loaded())
      lines+="\n(none left today)";
   if(lines==g_shown)
      return;
   g_shown=lines;
   Comment(lines);
  }
//+------------------------------------------------------------------+
