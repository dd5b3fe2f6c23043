//+------------------------------------------------------------------+
//|                                               MovuNextEvents.mq5 |
//| Shows the day's next calendar events in the chart corner, at the  |
//| trade server's time.                                              |
//|                                                                  |
//| Indicators may not use the terminal's WebRequest, and all         |
//| indicators of a symbol share one thread, so this one never makes  |
//| a synchronous request: CMovuCalendarDay fetches the day in the    |
//| background, then only its changes, polled from OnTimer. Attach it |
//| to a chart directly: an indicator created by another program      |
//| through iCustom receives no timer events.                         |
//+------------------------------------------------------------------+
#property copyright "movu"
#property version   "1.10"
#property indicator_chart_window
#property indicator_plots 0

#include <movu_mt5.mqh>

input string InpBaseUrl="http://127.0.0.1:8787";   // Service base URL
input int    InpMaxEvents=5;                        // Events shown
input int    InpRefreshSeconds=600;                 // Ask again every N seconds
input int    InpRetrySeconds=30;                    // Ask again after a failure

CMovuClient      g_movu;
CMovuCalendarDay g_day;
datetime         g_nextStart;
string           g_status;

//+------------------------------------------------------------------+
//| Globals survive a timeframe change: every piece of state is set   |
//| here.                                                             |
//+------------------------------------------------------------------+
int OnInit()
  {
   if(!MovuDllsAllowed())
      return(INIT_FAILED);
   g_nextStart=0;
   g_status="waiting for the calendar...";
   g_day.Reset(MovuDate(TimeGMT()));
   g_movu.SetBaseUrl(InpBaseUrl);
   g_movu.UseTerminalDataPath();
   if(!EventSetTimer(1))
      return(INIT_FAILED);
   Comment("movu: "+g_status);
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
void OnTimer()
  {
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
         g_nextStart=TimeLocal()+InpRetrySeconds;
        }
      Show();
      return;
     }
   string today=MovuDate(TimeGMT());
   if(today!=g_day.date)
     {
      g_day.Reset(today);
      g_nextStart=0;
     }
   if(TimeLocal()<g_nextStart)
      return;
   int rc=g_day.Start(g_movu);
   if(rc==MOVU_OK)
      g_nextStart=TimeLocal()+InpRefreshSeconds;
   else
     {
      //--- no account yet, paced or backing off: try again soon
      g_status=StringFormat("calendar not started: %d (%s)",rc,MovuResultText(rc));
      g_nextStart=TimeLocal()+(rc==MOVU_ERR_TOO_SOON ? 1+g_movu.WaitMs(MOVU_PATH_DAY)/1000 : InpRetrySeconds);
      Show();
     }
  }

//+------------------------------------------------------------------+
//| The first InpMaxEvents events not yet past, at server time.       |
//+------------------------------------------------------------------+
void Show()
  {
   int offset=MovuServerOffset();
   string lines=StringFormat("movu: next events (server time, UTC%+.1f)",offset/3600.0);
   if(g_status!="")
      lines+="\n"+g_status;
   int shown=0;
   datetime now=TimeGMT();
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
   Comment(lines);
  }
//+------------------------------------------------------------------+
