//+------------------------------------------------------------------+
//|                                            MovuCalendarToday.mq5 |
//| Fetches today's calendar (UTC date) synchronously and prints its  |
//| events, at the trade server's time.                               |
//|                                                                  |
//| A script may block: it runs on its own thread and ends when done. |
//| Start the local development service first (movu-devserver), or   |
//| point InpBaseUrl at your service.                                 |
//+------------------------------------------------------------------+
#property copyright "movu"
#property version   "1.10"
#property script_show_inputs

#include <movu_mt5.mqh>

input string InpBaseUrl="http://127.0.0.1:8787";   // Service base URL

//+------------------------------------------------------------------+
void OnStart()
  {
   if(!MovuDllsAllowed())
      return;
   CMovuClient movu;   // identity: this terminal's login, broker and server
//--- settings are shared by every program of the terminal
   movu.SetBaseUrl(InpBaseUrl);
   movu.UseTerminalDataPath();
   string date=MovuDate(TimeGMT());
   string text,error;
   int rc=movu.CalendarDay(date,text);
   if(rc!=MOVU_OK)
     {
      //--- text holds the service's answer or a JSON failure text, if any
      PrintFormat("movu: calendar %s failed: %d (%s) %s",date,rc,MovuResultText(rc),text);
      return;
     }
   MovuCalendarEvent events[];
   if(!MovuParseEvents(text,events,error))
     {
      PrintFormat("movu: calendar %s: answer not understood: %s",date,error);
      return;
     }
   int offset=MovuServerOffset();
   PrintFormat("movu: calendar %s: %d events (times at the trade server, UTC%+.1f)",date,ArraySize(events),offset/3600.0);
   for(int i=0; i<ArraySize(events) && !IsStopped(); i++)
     {
      MovuCalendarEvent e=events[i];
      PrintFormat("%s %s %-40s actual %s  forecast %s  previous %s",
                  TimeToString(MovuUtcToServer(e.time,offset),TIME_MINUTES),e.currency,e.title,
                  e.has_actual ? DoubleToString(e.actual,2)+e.unit : "-",
                  e.has_forecast ? DoubleToString(e.forecast,2)+e.unit : "-",
                  e.has_previous ? DoubleToString(e.previous,2)+e.unit : "-");
     }
  }
//+------------------------------------------------------------------+
